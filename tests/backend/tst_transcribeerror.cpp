#include "backend/FileReadError.h"
#include "backend/TranscribeError.h"
#include "backend/TransportError.h"
#include "core/CancellationToken.h"
#include "core/Localizer.h"
#include "support/TestSupport.h"

using namespace tindrel;
Q_DECLARE_METATYPE(tindrel::TranscribeError)
Q_DECLARE_METATYPE(std::exception_ptr)

namespace {

std::optional<QString> optionalText(const QString &text)
{
    return text.isNull() ? std::nullopt : std::optional<QString>(text);
}

const QStringList withRequestIdKeys{
    "error.transcribe.gateway_unavailable_with_request_id", "error.transcribe.failed_with_request_id",
    "error.transcribe.entitlement_required_with_request_id", "error.transcribe.entitlement_inactive_with_request_id",
    "error.transcribe.pending_upload_storage_limit_with_request_id"};

} // namespace

class TestTranscribeError : public QObject {
    Q_OBJECT
private slots:
    void init() { Localizer::setLanguage(QStringLiteral("none")); }

    // Failed replies as the backend and its gateways send them. With no table selected the
    // description is the bare key, which names the variant chosen.
    void errorFromReply_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("headerName");
        QTest::addColumn<QByteArray>("headerValue");
        QTest::addColumn<TranscribeError>("expected");
        QTest::addColumn<QString>("descriptionKey");

        const QByteArray none;
        QTest::newRow("entitlement required, id in body trimmed")
            << 403 << QByteArray("{\"error\":\"entitlement_required\",\"requestId\":\"  r-1 \\n\"}") << none << none
            << TranscribeError::entitlementRequired("r-1") << "error.transcribe.entitlement_required_with_request_id";
        QTest::newRow("entitlement required, no id")
            << 403 << QByteArray("{\"error\":\"entitlement_required\"}") << none << none
            << TranscribeError::entitlementRequired() << "error.transcribe.entitlement_required";
        QTest::newRow("entitlement required, id from header trimmed")
            << 403 << QByteArray("{\"error\":\"entitlement_required\",\"requestId\":\"   \"}")
            << QByteArray("x-request-id") << QByteArray(" h-1 ") << TranscribeError::entitlementRequired("h-1")
            << "error.transcribe.entitlement_required_with_request_id";
        QTest::newRow("entitlement inactive, body id wins over header")
            << 403 << QByteArray("{\"error\":\"entitlement_inactive\",\"requestId\":\"b-1\"}")
            << QByteArray("X-Request-Id") << QByteArray("h-2") << TranscribeError::entitlementInactive("b-1")
            << "error.transcribe.entitlement_inactive_with_request_id";
        QTest::newRow("pending upload limit, upper-case header")
            << 429 << QByteArray("{\"error\":\"pending_upload_storage_limit\"}") << QByteArray("X-REQUEST-ID")
            << QByteArray("p-1") << TranscribeError::pendingUploadStorageLimit("p-1")
            << "error.transcribe.pending_upload_storage_limit_with_request_id";
        QTest::newRow("quota exceeded drops the id")
            << 429 << QByteArray("{\"error\":\"quota_exceeded\",\"requestId\":\"q-1\"}") << none << none
            << TranscribeError::quotaExceeded() << "error.transcribe.quota_exceeded";
        QTest::newRow("plain code is not structured")
            << 403 << QByteArray("{\"error\":\"forbidden\"}") << none << none << TranscribeError::http(403, "forbidden")
            << "error.transcribe.failed";
        QTest::newRow("plain code with header id")
            << 403 << QByteArray("{\"error\":\"forbidden\"}") << QByteArray("X-Request-Id") << QByteArray("R")
            << TranscribeError::http(403, "forbidden | requestId=R") << "error.transcribe.failed_with_request_id";
        QTest::newRow("code under the wrong status")
            << 403 << QByteArray("{\"error\":\"quota_exceeded\"}") << none << none
            << TranscribeError::http(403, "quota_exceeded") << "error.transcribe.failed";
        QTest::newRow("codes are case-sensitive")
            << 429 << QByteArray("{\"error\":\"Quota_Exceeded\"}") << none << none
            << TranscribeError::http(429, "Quota_Exceeded") << "error.transcribe.failed";
        QTest::newRow("gateway page title")
            << 502 << QByteArray("<html><head><title>502 Bad Gateway</title></head><body>nginx</body></html>") << none
            << none << TranscribeError::http(502, "Upstream gateway returned 502 Bad Gateway")
            << "error.transcribe.gateway_unavailable";
        QTest::newRow("gateway page, title attributes and case, header id")
            << 503 << QByteArray("\n<!DOCTYPE html><TITLE lang=\"en\">  503 Unavailable </TITLE>")
            << QByteArray("X-Request-Id") << QByteArray("gw-7")
            << TranscribeError::http(503, "Upstream gateway returned 503 Unavailable | requestId=gw-7")
            << "error.transcribe.gateway_unavailable_with_request_id";
        QTest::newRow("gateway page without title")
            << 504 << QByteArray("<!doctype html><body>Gateway Timeout</body>") << none << none
            << TranscribeError::http(504, "Upstream gateway returned HTML error page")
            << "error.transcribe.gateway_unavailable";
        QTest::newRow("empty body with header id")
            << 500 << QByteArray(" \n") << QByteArray("X-Request-Id") << QByteArray("abc-1")
            << TranscribeError::http(500, "requestId=abc-1") << "error.transcribe.failed_with_request_id";
        QTest::newRow("empty body") << 500 << QByteArray() << none << none << TranscribeError::http(500, "")
                                    << "error.transcribe.failed";
        QTest::newRow("plain text already holding the id")
            << 500 << QByteArray("  failed (requestId=abc-2)  ") << QByteArray("X-Request-Id") << QByteArray("abc-2")
            << TranscribeError::http(500, "failed (requestId=abc-2)") << "error.transcribe.failed_with_request_id";
        QTest::newRow("plain text gets the id appended")
            << 500 << QByteArray("worker crashed") << QByteArray("X-Request-Id") << QByteArray("abc-3")
            << TranscribeError::http(500, "worker crashed (requestId: abc-3)")
            << "error.transcribe.failed_with_request_id";
        QTest::newRow("json message cut at 280")
            << 400 << QByteArray("{\"message\":\"" + QByteArray(1000, 'm') + "\"}") << none << none
            << TranscribeError::http(400, QString(280, u'm')) << "error.transcribe.failed";
        QTest::newRow("json cut keeps whole characters")
            << 400
            << ("{\"message\":\"" + QByteArray(279, 'a') + QString::fromUtf8("\U0001F600\U0001F600").toUtf8() + "\"}")
            << none << none << TranscribeError::http(400, QString(279, u'a') + QString::fromUtf8("\U0001F600"))
            << "error.transcribe.failed";
        QTest::newRow("json nested error message")
            << 422 << QByteArray("{\"error\":{\"message\":\"  bad mode  \"}}") << none << none
            << TranscribeError::http(422, "bad mode") << "error.transcribe.failed";
        QTest::newRow("json error string when message is not text")
            << 400 << QByteArray("{\"message\":5,\"error\":\"bad request\"}") << none << none
            << TranscribeError::http(400, "bad request") << "error.transcribe.failed";
        QTest::newRow("json without detail, header id")
            << 400 << QByteArray("{\"ok\":false}") << QByteArray("X-Request-Id") << QByteArray("j-1")
            << TranscribeError::http(400, "requestId=j-1") << "error.transcribe.failed_with_request_id";
        QTest::newRow("json array is plain text") << 400 << QByteArray("[1,2]") << none << none
                                                  << TranscribeError::http(400, "[1,2]") << "error.transcribe.failed";
        QTest::newRow("invalid utf-8 counts as empty")
            << 500 << QByteArray("\xff\xfe\xfd") << QByteArray("X-Request-Id") << QByteArray("u-1")
            << TranscribeError::http(500, "requestId=u-1") << "error.transcribe.failed_with_request_id";
        QTest::newRow("gateway status with json detail")
            << 503 << QByteArray("{\"error\":\"upstream busy\"}") << none << none
            << TranscribeError::http(503, "upstream busy") << "error.transcribe.gateway_unavailable";
    }
    void errorFromReply()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, headerName);
        QFETCH(QByteArray, headerValue);
        QFETCH(TranscribeError, expected);
        QFETCH(QString, descriptionKey);
        TranscribeError::Headers headers{{"Content-Type", "application/json"}};
        if (!headerName.isNull())
            headers.append({headerName, headerValue});
        const TranscribeError error = TranscribeError::fromReply(body, status, headers);
        QCOMPARE(error.kind(), expected.kind());
        QCOMPARE(error.status(), expected.status());
        QCOMPARE(error.message(), expected.message());
        QCOMPARE(error.requestId(), expected.requestId());
        QVERIFY(error == expected);
        QCOMPARE(error.description(), descriptionKey);
    }

    void requestIdInMessage_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("underscore ends the id") << "requestid: XY_9"
                                                << "XY";
        QTest::newRow("joined part") << "forbidden | requestId=R-1"
                                     << "R-1";
        QTest::newRow("appended part") << "crashed (requestId: abc-3)"
                                       << "abc-3";
        QTest::newRow("space after equals") << "requestId= abc"
                                            << "abc";
        QTest::newRow("first of two") << "requestId=a1 requestId=b2"
                                      << "a1";
        QTest::newRow("nothing after the marker") << "requestId=" << QString();
        QTest::newRow("no marker") << "request id abc" << QString();
    }
    void requestIdInMessage()
    {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(TranscribeError::requestIdInMessage(message), optionalText(expected));
        QCOMPARE(TranscribeError::http(500, message).requestId(), optionalText(expected));
    }

    void retryableRule_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<bool>("retryable");
        auto row = [](const char *name, auto error, bool retryable) {
            QTest::newRow(name) << std::make_exception_ptr(error) << retryable;
        };
        row("502", TranscribeError::http(502, "x"), true);
        row("503", TranscribeError::http(503, ""), true);
        row("504", TranscribeError::http(504, ""), true);
        row("500", TranscribeError::http(500, ""), false);
        row("401", TranscribeError::http(401, ""), false);
        row("pipeline's own status 0", TranscribeError::http(0, ""), false);
        row("200 with error member", TranscribeError::http(200, "boom"), false);
        row("entitlement", TranscribeError::entitlementRequired("r"), false);
        row("pending upload limit", TranscribeError::pendingUploadStorageLimit(), false);
        row("quota", TranscribeError::quotaExceeded(), false);
        row("no text", TranscribeError::noText(), false);
        row("invalid config", TranscribeError::invalidConfig(), false);
        row("timed out", TransportError(QNetworkReply::OperationCanceledError, true), true);
        row("socket time-out", TransportError(QNetworkReply::TimeoutError), true);
        row("connection lost", TransportError(QNetworkReply::RemoteHostClosedError), true);
        row("connection refused", TransportError(QNetworkReply::ConnectionRefusedError), true);
        row("offline", TransportError(QNetworkReply::HostNotFoundError), true);
        row("aborted, not timed out", TransportError(QNetworkReply::OperationCanceledError), false);
        row("tls failure", TransportError(QNetworkReply::SslHandshakeFailedError), false);
        row("cancelled", CancelledError(), false);
        row("file", FileReadError("a.m4a", "gone"), false);
        row("anything else", std::runtime_error("x"), false);
        QTest::newRow("no failure") << std::exception_ptr() << false;
    }
    void retryableRule()
    {
        QFETCH(std::exception_ptr, failure);
        QFETCH(bool, retryable);
        QCOMPARE(TranscribeError::isRetryable(failure), retryable);
    }

    void valuesCompareByCaseAndPayload()
    {
        QVERIFY(TranscribeError::http(500, "a") == TranscribeError::http(500, "a"));
        QVERIFY(!(TranscribeError::http(500, "a") == TranscribeError::http(500, "b")));
        QVERIFY(!(TranscribeError::http(500, "a") == TranscribeError::http(502, "a")));
        QVERIFY(!(TranscribeError::entitlementRequired("r") == TranscribeError::entitlementRequired()));
        QVERIFY(!(TranscribeError::entitlementRequired("r") == TranscribeError::entitlementInactive("r")));
        QVERIFY(!(TranscribeError::quotaExceeded() == TranscribeError::noText()));
        const TranscribeError copy = TranscribeError::pendingUploadStorageLimit("p");
        TranscribeError assigned = TranscribeError::invalidConfig();
        assigned = copy;
        QVERIFY(assigned == TranscribeError::pendingUploadStorageLimit("p"));
        QCOMPARE(QByteArray(assigned.what()), QByteArray(copy.what()));
    }

    void everyTableHasRealTextsWithOnePlaceholder()
    {
        for (const QString &language : {QStringLiteral("en"), QStringLiteral("zh-Hans"), QStringLiteral("ja")}) {
            for (const QString &key : withRequestIdKeys) {
                const QString text = Localizer::entry(language, key);
                QVERIFY2(!text.isEmpty(), qPrintable(language + u' ' + key));
                QVERIFY2(text.count(QStringLiteral("%@")) == 1, qPrintable(language + u' ' + key + u' ' + text));
                QCOMPARE(text.count(u'%'), 1);
            }
        }
        QVERIFY(Localizer::entry("ja", "error.transcribe.no_text")
                != Localizer::entry("en", "error.transcribe.no_text"));
        QVERIFY(Localizer::entry("zh-Hans", "error.transcribe.no_text")
                != Localizer::entry("ja", "error.transcribe.no_text"));
    }

    void descriptionsCarryTheRequestId()
    {
        Localizer::setLanguage(QStringLiteral("en"));
        const QString gateway =
            TranscribeError::http(503, "Upstream gateway returned x | requestId=gw-9").description();
        QVERIFY2(gateway.contains(u"gw-9") && !gateway.contains(u"%@") && !gateway.contains(u"Upstream"),
                 qPrintable(gateway));
        QCOMPARE(TranscribeError::http(500, "raw server text").description(),
                 Localizer::entry("en", "error.transcribe.failed"));
        QCOMPARE(TranscribeError::http(500, "raw server text").what(),
                 Localizer::entry("en", "error.transcribe.failed").toUtf8());
        Localizer::setLanguage(QStringLiteral("ja"));
        const QString entitlement = TranscribeError::entitlementRequired("r-42").description();
        QCOMPARE(entitlement,
                 Localizer::entry("ja", "error.transcribe.entitlement_required_with_request_id").replace("%@", "r-42"));
        // An empty id is no id.
        QCOMPARE(TranscribeError::entitlementRequired("").description(),
                 Localizer::entry("ja", "error.transcribe.entitlement_required"));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestTranscribeError)
#include "tst_transcribeerror.moc"
