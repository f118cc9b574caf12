#include "supabase/ClientContext.h"

namespace supabase {

QUrl ClientContext::serviceUrl(const QString &path) const
{
    QUrl url = baseUrl;
    QString basePath = url.path();
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    url.setPath(basePath + path);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

QNetworkRequest ClientContext::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setRawHeader("apikey", apiKey.toUtf8());
    request.setRawHeader("X-Client-Info", "tindrel-supabase/1.0");
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    return request;
}

} // namespace supabase
