// The edge functions and storage of the local backend: the transcription steps, signed
// upload and download URLs, history paging and filters, deletion, ownership, refusals.
#include "BackendProcess.h"

#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrlQuery>

using namespace tindrel::test;

class TestLocalBackendFunctions : public QObject {
    Q_OBJECT

private:
    BackendProcess m_backend;

    HttpResult uploadSlot(const TestAccount &account, qint64 size)
    {
        return m_backend.function(QStringLiteral("transcribe"), account.token,
                                  QJsonObject{{"action", "get_upload_url"},
                                              {"filename", "recording-1.m4a"},
                                              {"file_size", size},
                                              {"content_type", "audio/m4a"}});
    }

    HttpResult put(const QString &url, const QByteArray &data)
    {
        return m_backend.send("PUT", url, data, {{"Content-Type", "audio/m4a"}, {"apikey", {}}});
    }

    HttpResult history(const TestAccount &account, const QJsonObject &body)
    {
        return m_backend.function(QStringLiteral("history"), account.token, body);
    }

    // The client's proxy upload body, built the way the app builds it.
    static QByteArray proxyBody(const QByteArray &boundary, const QByteArray &file,
                                const QList<QPair<QByteArray, QByteArray>> &fields)
    {
        QByteArray body;
        for (const auto &[name, value] : fields)
            body +=
                "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
        body += "--" + boundary
                + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"take.m4a\"\r\n"
                  "Content-Type: audio/m4a\r\n\r\n"
                + file + "\r\n--" + boundary + "--\r\n";
        return body;
    }

    HttpResult proxyUpload(const TestAccount &account, const QByteArray &file,
                           const QList<QPair<QByteArray, QByteArray>> &extraFields = {})
    {
        const QByteArray boundary = "Boundary-5C1A3E0F-1111-2222-3333-444455556666";
        QList<QPair<QByteArray, QByteArray>> fields{{"action", "upload_via_proxy"}};
        fields += extraFields;
        return m_backend.send("POST", QStringLiteral("/functions/v1/transcribe"), proxyBody(boundary, file, fields),
                              {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                               {"Authorization", "Bearer " + account.token}});
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_backend.start(&error), qPrintable(error));
    }

    void transcriptionStepsStoreARow()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const HttpResult slot = uploadSlot(account, 4000);
        QCOMPARE(slot.status, 200);
        const QString key = slot.json().value("storeKey").toString();
        QVERIFY(key.startsWith(account.id + u'/'));
        QVERIFY(!slot.json().value("requestId").toString().isEmpty());
        const QString uploadUrl = slot.json().value("uploadUrl").toString();
        QVERIFY(
            uploadUrl.startsWith(m_backend.baseUrl() + QStringLiteral("/storage/v1/object/upload/sign/audio/") + key));

        const HttpResult stored = put(uploadUrl, QByteArray(4000, 'x'));
        QCOMPARE(stored.status, 200);
        QCOMPARE(stored.json().value("Key").toString(), QStringLiteral("audio/") + key);

        m_backend.control(QStringLiteral("/transcripts"), QJsonObject{{"texts", QJsonArray{"hello there"}}});
        const HttpResult done = m_backend.send("POST", QStringLiteral("/functions/v1/transcribe"),
                                               QJsonDocument(QJsonObject{{"action", "transcribe_stored"},
                                                                         {"file_key", key},
                                                                         {"duration", 3.6},
                                                                         {"mode", "high_accuracy"}})
                                                   .toJson(),
                                               {{"Authorization", "Bearer " + account.token},
                                                {"Content-Type", "application/json"},
                                                {"X-Request-Id", "ABC-1"}});
        QCOMPARE(done.status, 200);
        QCOMPARE(done.json().value("text").toString(), QStringLiteral("hello there"));
        QCOMPARE(done.header("X-Request-Id"), QByteArray("ABC-1"));

        const QJsonObject page =
            history(account, QJsonObject{{"limit", 10}, {"offset", 0}, {"include_deleted", false}}).json();
        const QJsonObject row = page.value("data").toArray().first().toObject();
        QCOMPARE(row.value("text").toString(), QStringLiteral("hello there"));
        QCOMPARE(row.value("duration").toInt(), 4);
        QCOMPARE(row.value("mode").toString(), QStringLiteral("high_accuracy"));
        QCOMPARE(row.value("file_size").toInt(), 4000);
        QCOMPARE(row.value("user_id").toString(), account.id);
        QVERIFY(row.value("audio_deleted_at").isNull());
        // Postgres text form: microseconds and a numeric offset.
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}\\+00:00$"))
                    .match(row.value("created_at").toString())
                    .hasMatch());
        // The stored location leads back to the key through its first UUID segment.
        QVERIFY(row.value("audio_url").toString().endsWith(QStringLiteral("/audio/") + key));
    }

    void badRequestsGetClearErrors_data()
    {
        QTest::addColumn<QString>("function");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("not json") << "transcribe" << QByteArray("{oops") << 400 << "invalid_request";
        QTest::newRow("unknown action") << "transcribe" << QByteArray(R"({"action":"fly"})") << 400 << "invalid_action";
        QTest::newRow("size as text") << "transcribe"
                                      << QByteArray(
                                             R"({"action":"get_upload_url","filename":"a.m4a","file_size":"12"})")
                                      << 400 << "invalid_request";
        QTest::newRow("negative size") << "transcribe"
                                       << QByteArray(R"({"action":"get_upload_url","filename":"a.m4a","file_size":-1})")
                                       << 400 << "invalid_request";
        QTest::newRow("huge size") << "transcribe"
                                   << QByteArray(R"({"action":"get_upload_url","filename":"a.m4a","file_size":1e12})")
                                   << 413 << "file_too_large";
        QTest::newRow("unknown mode") << "transcribe"
                                      << QByteArray(R"({"action":"transcribe_stored","file_key":"k","mode":"turbo"})")
                                      << 400 << "invalid_mode";
        QTest::newRow("escaping key") << "transcribe"
                                      << QByteArray(R"({"action":"transcribe_stored","file_key":"../../etc/passwd"})")
                                      << 403 << "forbidden";
        QTest::newRow("someone else's key")
            << "transcribe"
            << QByteArray(R"({"action":"transcribe_stored","file_key":"00000000-0000-4000-8000-000000000000/a.m4a"})")
            << 403 << "forbidden";
        QTest::newRow("history limit as text")
            << "history" << QByteArray(R"({"limit":"10"})") << 400 << "invalid_request";
        QTest::newRow("history limit zero") << "history" << QByteArray(R"({"limit":0})") << 400 << "invalid_request";
        QTest::newRow("history bad date")
            << "history" << QByteArray(R"({"limit":5,"start_time":"yesterday"})") << 400 << "invalid_request";
        QTest::newRow("history array body") << "history" << QByteArray("[]") << 400 << "invalid_request";
        QTest::newRow("delete without id") << "delete-transcription" << QByteArray("{}") << 400 << "invalid_request";
        QTest::newRow("delete id as text")
            << "delete-transcription" << QByteArray(R"({"idToDelete":"1"})") << 400 << "invalid_request";
    }

    void badRequestsGetClearErrors()
    {
        QFETCH(QString, function);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const HttpResult reply =
            m_backend.send("POST", QStringLiteral("/functions/v1/") + function, body,
                           {{"Authorization", "Bearer " + account.token}, {"Content-Type", "application/json"}});
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json().value("error").toString(), code);
        QVERIFY(!reply.json().value("message").toString().isEmpty());
        QCOMPARE(reply.json().value("requestId").toString().toLatin1(), reply.header("X-Request-Id"));
    }

    void transcribingAMissingObjectFails()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const QString key = uploadSlot(account, 100).json().value("storeKey").toString();
        const HttpResult reply = m_backend.function(QStringLiteral("transcribe"), account.token,
                                                    QJsonObject{{"action", "transcribe_stored"}, {"file_key", key}});
        QCOMPARE(reply.status, 404);
        QCOMPARE(reply.json().value("error").toString(), QStringLiteral("object_not_found"));
    }

    void signedUploadUrlIsBoundToItsObject()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const QJsonObject slotA = uploadSlot(account, 10).json();
        const QJsonObject slotB = uploadSlot(account, 10).json();
        const QString urlA = slotA.value("uploadUrl").toString();
        const QString tokenB = QUrlQuery(QUrl(slotB.value("uploadUrl").toString())).queryItemValue("token");

        auto check = [](const HttpResult &reply, const char *statusCode, const char *code) {
            QCOMPARE(reply.status, 400);
            QCOMPARE(reply.json().value("statusCode").toString(), QString::fromLatin1(statusCode));
            QCOMPARE(reply.json().value("code").toString(), QString::fromLatin1(code));
        };
        QUrl wrongPath(urlA);
        wrongPath.setQuery(QStringLiteral("token=") + tokenB);
        check(put(wrongPath.toString(), QByteArray(10, 'a')), "400", "InvalidSignature");
        QUrl forged(urlA);
        forged.setQuery(QStringLiteral("token=") + tokenB.chopped(2) + QStringLiteral("xx"));
        check(put(forged.toString(), QByteArray(10, 'a')), "400", "InvalidJWT");
        check(put(urlA, QByteArray(11, 'a')), "413", "EntityTooLarge");
        QCOMPARE(put(urlA, QByteArray(10, 'a')).status, 200);
        check(put(urlA, QByteArray(10, 'b')), "409", "ResourceAlreadyExists");

        const QString urlC = uploadSlot(account, 10).json().value("uploadUrl").toString();
        m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", 2 * 3600 + 10}});
        const HttpResult expired = put(urlC, QByteArray(10, 'a'));
        m_backend.control(QStringLiteral("/clock"), QJsonObject{{"advance_seconds", -(2 * 3600 + 10)}});
        check(expired, "400", "ExpiredToken");
    }

    void proxyUploadReleasesTheAbandonedSlot()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        m_backend.control(
            QStringLiteral("/user-flags"),
            QJsonObject{{"email", account.email}, {"flags", QJsonObject{{"pending_upload_limit_bytes", 1500}}}});
        const QJsonObject slot = uploadSlot(account, 1000).json();
        // A second slot would go over the pending limit...
        const HttpResult refused = uploadSlot(account, 1000);
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.json().value("error").toString(), QStringLiteral("pending_upload_storage_limit"));

        const HttpResult proxied =
            proxyUpload(account, QByteArray(1000, 'p'),
                        {{"abandoned_store_key", slot.value("storeKey").toString().toUtf8()},
                         {"abandoned_upload_attempt_id", slot.value("requestId").toString().toUtf8()}});
        QCOMPARE(proxied.status, 200);
        const QString key = proxied.json().value("storeKey").toString();
        QVERIFY(key.startsWith(account.id + u'/'));
        QVERIFY(key != slot.value("storeKey").toString());
        // ...until the proxy upload gives the abandoned one back.
        QCOMPARE(uploadSlot(account, 1000).status, 200);

        m_backend.control(QStringLiteral("/transcripts"), QJsonObject{{"texts", QJsonArray{"via proxy"}}});
        const HttpResult done =
            m_backend.function(QStringLiteral("transcribe"), account.token,
                               QJsonObject{{"action", "transcribe_stored"}, {"file_key", key}, {"duration", 1.0}});
        QCOMPARE(done.status, 200);
        QCOMPARE(done.json().value("text").toString(), QStringLiteral("via proxy"));
    }

    void proxyUploadRejectsBadBodies()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        QCOMPARE(proxyUpload(account, QByteArray(6 * 1024 * 1024 + 1, 'z')).status, 413);
        const HttpResult truncated = m_backend.send(
            "POST", QStringLiteral("/functions/v1/transcribe"),
            "--b\r\nContent-Disposition: form-data; name=\"action\"\r\n\r\nupl",
            {{"Content-Type", "multipart/form-data; boundary=b"}, {"Authorization", "Bearer " + account.token}});
        QCOMPARE(truncated.status, 400);
    }

    void downloadsHonourRange_data()
    {
        QTest::addColumn<QByteArray>("range");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentRange");
        QTest::newRow("whole") << QByteArray() << 200 << QByteArray("0123456789") << QByteArray();
        QTest::newRow("first bytes") << QByteArray("bytes=0-3") << 206 << QByteArray("0123")
                                     << QByteArray("bytes 0-3/10");
        QTest::newRow("open end") << QByteArray("bytes=7-") << 206 << QByteArray("789") << QByteArray("bytes 7-9/10");
        QTest::newRow("suffix") << QByteArray("bytes=-2") << 206 << QByteArray("89") << QByteArray("bytes 8-9/10");
        QTest::newRow("past the end") << QByteArray("bytes=10-") << 416 << QByteArray() << QByteArray("bytes */10");
        QTest::newRow("nonsense") << QByteArray("pages=1") << 416 << QByteArray() << QByteArray("bytes */10");
    }

    void downloadsHonourRange()
    {
        QFETCH(QByteArray, range);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentRange);
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const QJsonObject slot = uploadSlot(account, 10).json();
        QCOMPARE(put(slot.value("uploadUrl").toString(), "0123456789").status, 200);
        const HttpResult link = m_backend.send(
            "GET", QStringLiteral("/functions/v1/presign-download?filename=") + slot.value("storeKey").toString(), {},
            {{"Authorization", "Bearer " + account.token}});
        QCOMPARE(link.status, 200);
        const QString url = link.json().value("url").toString();
        HeaderList headers{{"apikey", {}}};
        if (!range.isEmpty())
            headers.append(qMakePair(QByteArray("Range"), range));
        const HttpResult reply = m_backend.send("GET", url, {}, headers);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.body, body);
        QCOMPARE(reply.header("Content-Range"), contentRange);
        if (status != 416)
            QCOMPARE(reply.header("Accept-Ranges"), QByteArray("bytes"));
    }

    void historyPagesAndFilters()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        const QStringList texts{"alpha meeting notes", "Beta 100% sure", "gamma", "delta MEETING", "epsilon"};
        for (const QString &text : texts)
            QCOMPARE(m_backend.transcribe(account.token, "audio", text).status, 200);

        const QJsonObject second =
            history(account, QJsonObject{{"limit", 2}, {"offset", 2}, {"include_deleted", false}}).json();
        const QJsonObject info = second.value("pageInfo").toObject();
        QCOMPARE(info.value("totalCount").toInt(), 5);
        QCOMPARE(info.value("totalPages").toInt(), 3);
        QCOMPARE(info.value("currentPage").toInt(), 2);
        QCOMPARE(info.value("hasNextPage").toBool(), true);
        QCOMPARE(info.value("hasPrevPage").toBool(), true);
        const QJsonArray rows = second.value("data").toArray();
        QCOMPARE(rows.size(), 2);
        // Newest first: the third and second texts.
        QCOMPARE(rows[0].toObject().value("text").toString(), QStringLiteral("gamma"));
        QCOMPARE(rows[1].toObject().value("text").toString(), QStringLiteral("Beta 100% sure"));

        auto count = [&](const QJsonObject &filters) {
            QJsonObject body{{"limit", 50}, {"offset", 0}, {"include_deleted", false}};
            for (auto it = filters.begin(); it != filters.end(); ++it)
                body.insert(it.key(), it.value());
            return history(account, body).json().value("pageInfo").toObject().value("totalCount").toInt(-1);
        };
        QCOMPARE(count({{"keyword", "meeting"}}), 2); // any letter case
        QCOMPARE(count({{"keyword", "0%"}}), 1);      // wildcards match literally
        QCOMPARE(count({{"keyword", "_"}}), 0);
        // The days the server stamped (UTC), not this machine's local date.
        const QJsonArray all = history(account, QJsonObject{{"limit", 50}, {"offset", 0}, {"include_deleted", false}})
                                   .json()
                                   .value("data")
                                   .toArray();
        QCOMPARE(all.size(), 5);
        const QString firstDay = all.last().toObject().value("created_at").toString().left(10);
        const QString lastDay = all.first().toObject().value("created_at").toString().left(10);
        QCOMPARE(count({{"start_time", firstDay}, {"end_time", lastDay}}), 5); // a bare end date covers its day
        QCOMPARE(count({{"start_time", QDateTime::currentDateTimeUtc().addDays(1).toString(Qt::ISODate)}}), 0);
        QCOMPARE(count({{"end_time", "2000-01-01T00:00:00Z"}}), 0);
    }

    void ownersAloneSeeAndDeleteTheirRows()
    {
        const TestAccount alice = m_backend.newAccount(QStringLiteral("fn"));
        const TestAccount bob = m_backend.newAccount(QStringLiteral("fn"));
        const HttpResult done = m_backend.transcribe(alice.token, "alice audio", QStringLiteral("alice's words"));
        const qint64 id = done.json().value("transcription_id").toInteger();
        const QJsonObject all{{"limit", 50}, {"offset", 0}, {"include_deleted", true}};
        QCOMPARE(history(bob, all).json().value("data").toArray().size(), 0);

        const HttpResult stolen =
            m_backend.function(QStringLiteral("delete-transcription"), bob.token, QJsonObject{{"idToDelete", id}});
        QCOMPARE(stolen.status, 404);
        const QJsonObject row = history(alice, all).json().value("data").toArray().first().toObject();
        QCOMPARE(row.value("text").toString(), QStringLiteral("alice's words"));
        const QString key = row.value("audio_url").toString().section(QStringLiteral("/audio/"), 1);
        QCOMPARE(m_backend
                     .send("GET", QStringLiteral("/functions/v1/presign-download?filename=") + key, {},
                           {{"Authorization", "Bearer " + bob.token}})
                     .status,
                 403);

        QCOMPARE(
            m_backend.function(QStringLiteral("delete-transcription"), alice.token, QJsonObject{{"idToDelete", id}})
                .status,
            200);
        QCOMPARE(history(alice, QJsonObject{{"limit", 50}, {"offset", 0}, {"include_deleted", false}})
                     .json()
                     .value("data")
                     .toArray()
                     .size(),
                 0);
        const QJsonObject deleted = history(alice, all).json().value("data").toArray().first().toObject();
        QVERIFY(deleted.value("text").isNull());
        QVERIFY(!deleted.value("text_deleted_at").toString().isEmpty());
        QVERIFY(!deleted.value("audio_deleted_at").toString().isEmpty());
        // The audio went with it.
        QCOMPARE(m_backend
                     .send("GET", QStringLiteral("/functions/v1/presign-download?filename=") + key, {},
                           {{"Authorization", "Bearer " + alice.token}})
                     .status,
                 404);
    }

    void accountSwitchesRefuseTranscription_data()
    {
        QTest::addColumn<QJsonObject>("flags");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("no subscription") << QJsonObject{{"entitlement", "required"}} << 403 << "entitlement_required";
        QTest::newRow("lapsed subscription")
            << QJsonObject{{"entitlement", "inactive"}} << 403 << "entitlement_inactive";
        QTest::newRow("quota") << QJsonObject{{"quota_exceeded", true}} << 429 << "quota_exceeded";
    }

    void accountSwitchesRefuseTranscription()
    {
        QFETCH(QJsonObject, flags);
        QFETCH(int, status);
        QFETCH(QString, code);
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        QCOMPARE(
            m_backend.control(QStringLiteral("/user-flags"), QJsonObject{{"email", account.email}, {"flags", flags}})
                .status,
            200);
        const HttpResult reply = uploadSlot(account, 100);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.json().value("error").toString(), code);
        QVERIFY(!reply.json().value("requestId").toString().isEmpty());
    }

    // Whatever arrives, the server answers with an error and stays up.
    void garbageNeverBreaksTheServer()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        QByteArray deep;
        for (int i = 0; i < 5000; ++i)
            deep += '[';
        const QList<QByteArray> bodies{"",
                                       "null",
                                       "\xff\xfe\x00garbage",
                                       deep,
                                       R"({"action":null})",
                                       R"({"action":"get_upload_url","filename":["a"],"file_size":{}})",
                                       R"({"action":"transcribe_stored","file_key":"","duration":"long"})",
                                       R"({"limit":1e308,"offset":-1e308,"keyword":5})",
                                       R"({"idToDelete":9.5})",
                                       QByteArray(200000, 'x')};
        const QStringList targets{"/functions/v1/transcribe",
                                  "/functions/v1/history",
                                  "/functions/v1/delete-transcription",
                                  "/functions/v1/presign-download?filename=%2e%2e%2f%2e%2e",
                                  "/auth/v1/token?grant_type=password",
                                  "/auth/v1/token?grant_type=refresh_token",
                                  "/auth/v1/token?grant_type=pkce",
                                  "/auth/v1/logout",
                                  "/auth/v1/callback",
                                  "/storage/v1/object/upload/sign/audio/x?token=a.b.c",
                                  "/storage/v1/object/sign/audio/x",
                                  "/__tindrel_test/faults",
                                  "/__tindrel_test/user-flags"};
        for (const QString &target : targets) {
            for (const QByteArray &body : bodies) {
                for (const QByteArray &method : {QByteArray("POST"), QByteArray("PUT"), QByteArray("GET")}) {
                    const HttpResult reply = m_backend.send(
                        method, target, method == "GET" ? QByteArray() : body,
                        {{"Authorization", "Bearer " + account.token}, {"Content-Type", "application/json"}});
                    QVERIFY2(
                        reply.status >= 200 && reply.status < 500,
                        qPrintable(
                            QStringLiteral("%1 %2 -> %3").arg(QString::fromLatin1(method), target).arg(reply.status)));
                }
            }
        }
        QCOMPARE(m_backend.send("GET", QStringLiteral("/auth/v1/settings")).status, 200);
    }

    void queuedFaultsAndTheRequestLog()
    {
        const TestAccount account = m_backend.newAccount(QStringLiteral("fn"));
        QCOMPARE(m_backend.send("DELETE", QStringLiteral("/__tindrel_test/requests")).status, 204);
        QCOMPARE(
            m_backend
                .control(QStringLiteral("/faults"),
                         QJsonObject{{"path", "/functions/v1/history"},
                                     {"status", 503},
                                     {"body", "<html><title>503 Service Unavailable</title></html>"},
                                     {"headers", QJsonObject{{"Content-Type", "text/html"}, {"X-Request-Id", "F-1"}}},
                                     {"count", 1}})
                .status,
            204);
        // Two drops: Qt's client silently resends once when a kept-alive connection closes.
        m_backend.control(QStringLiteral("/faults"),
                          QJsonObject{{"path", "/functions/v1/*"}, {"drop", true}, {"delay_ms", 50}, {"count", 2}});
        const QJsonObject body{{"limit", 5}, {"offset", 0}, {"include_deleted", false}};
        const HttpResult failed = history(account, body);
        QCOMPARE(failed.status, 503);
        QCOMPARE(failed.header("X-Request-Id"), QByteArray("F-1"));
        QCOMPARE(history(account, body).status, 0); // dropped connection
        QCOMPARE(history(account, body).status, 200);

        const QJsonArray log =
            m_backend.send("GET", QStringLiteral("/__tindrel_test/requests")).json().value("requests").toArray();
        QCOMPARE(log.size(), 4);
        const QJsonObject first = log[0].toObject();
        QCOMPARE(first.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(first.value("path").toString(), QStringLiteral("/functions/v1/history"));
        QCOMPARE(first.value("json").toObject().value("limit").toInt(), 5);
        const QJsonObject headers = first.value("headers").toObject();
        QCOMPARE(headers.value("authorization").toString(), QStringLiteral("Bearer [redacted]"));
        QCOMPARE(headers.value("apikey").toString(), QStringLiteral("[redacted]"));
        QVERIFY(!QJsonDocument(log).toJson().contains(account.token));
    }

    // Last: everything above leaves nothing behind (leaks fail the exit code under ASan).
    void stopsCleanly()
    {
        const int code = m_backend.stop();
        QVERIFY2(code == 0,
                 qPrintable(QStringLiteral("exit code %1:\n%2").arg(code).arg(m_backend.output().right(4000))));
    }
};

TINDREL_TEST_GUILESS_MAIN(TestLocalBackendFunctions)
#include "tst_localbackend_functions.moc"
