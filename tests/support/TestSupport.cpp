#include "support/TestSupport.h"

#include <QStandardPaths>

namespace tindrel::test {

void prepareTestHost()
{
    // Our equivalent of the platform's test-host marker: services that own persistent
    // stores (keychain, device identifier) keep away from the user's real ones.
    qputenv("TINDREL_TEST_HOST", "1");
    QStandardPaths::setTestModeEnabled(true);
}

} // namespace tindrel::test
