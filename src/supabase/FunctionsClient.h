#pragma once

#include "supabase/ClientContext.h"
#include "supabase/HttpExchange.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace supabase {

// How to call a function. A JSON body goes as application/json, raw bytes as
// application/octet-stream, unless the headers name a Content-Type.
struct FunctionInvokeOptions {
    QByteArray method = "POST";
    QList<QPair<QString, QString>> query;
    std::optional<QJsonDocument> json;
    std::optional<QByteArray> body;
    HeaderList headers;
    std::optional<QString> region;
    // Overrides the client's request time-out for this call.
    std::optional<std::chrono::milliseconds> timeout;
};

// A 2xx answer, undecoded: the caller knows what its function returns.
struct FunctionResponse {
    int status = 0;
    QByteArray body;
    HeaderList headers;

    QByteArray header(const QByteArray &name) const { return headerValue(headers, name); }
    // The body as JSON; Null when it is not JSON.
    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
};

// Calls edge functions at <base>/functions/v1/<name> with the project key and the bearer
// token of the current session (the project key when signed out and it is a JWT). Throws
// FunctionsError. Nothing is retried. Main thread of the owning client.
class FunctionsClient : public QObject {
    Q_OBJECT

public:
    // Yields the access token of the current session, renewed when due; empty when signed out.
    using TokenSource = std::function<QCoro::Task<QString>()>;

    FunctionsClient(std::shared_ptr<const ClientContext> context, std::optional<QString> region, TokenSource tokens,
                    QObject *parent = nullptr);

    QCoro::Task<FunctionResponse> invoke(QString functionName, FunctionInvokeOptions options = {});

private:
    std::shared_ptr<const ClientContext> m_context;
    std::optional<QString> m_region;
    TokenSource m_tokens;
};

} // namespace supabase
