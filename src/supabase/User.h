#pragma once

#include <QJsonObject>
#include <QString>

namespace supabase {

// The signed-in user as the auth server describes it. `raw` keeps every member, so nothing
// the server sends is lost when a session is stored and read back.
struct User {
    QString id;
    QString email;
    QString phone;
    QString role;
    QString aud;
    QJsonObject appMetadata;
    QJsonObject userMetadata;
    QJsonObject raw;

    static User fromJson(const QJsonObject &object);
    QJsonObject toJson() const { return raw; }
};

} // namespace supabase
