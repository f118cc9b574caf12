#include "supabase/User.h"

namespace supabase {

User User::fromJson(const QJsonObject &object)
{
    User user;
    user.id = object.value(QLatin1String("id")).toString();
    user.email = object.value(QLatin1String("email")).toString();
    user.phone = object.value(QLatin1String("phone")).toString();
    user.role = object.value(QLatin1String("role")).toString();
    user.aud = object.value(QLatin1String("aud")).toString();
    user.appMetadata = object.value(QLatin1String("app_metadata")).toObject();
    user.userMetadata = object.value(QLatin1String("user_metadata")).toObject();
    user.raw = object;
    return user;
}

} // namespace supabase
