// Prints how long keychain operations take against the Secret Service of the current
// session and against the file store. Run inside the test desktop:
//   scripts/test-env build/ci/benchmarks/bench_keychain
#include "auth/FileKeychainPrimitives.h"
#include "auth/KeychainItem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace tindrel;

namespace {

void measure(const char *label, int rounds, const std::function<void()> &operation)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        operation();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-34s median %7.2f ms   max %7.2f ms   (%d rounds)\n", label, times[times.size() / 2], times.back(),
                rounds);
}

void run(const char *store, const KeychainItem &item)
{
    const int rounds = 30;
    const QByteArray data = QByteArray(600, 'x'); // about the size of a stored session
    std::printf("%s\n", store);
    measure("  save (first: update, add)", 1, [&] { item.save(data); });
    measure("  save (existing item)", rounds, [&] { item.save(data); });
    measure("  read", rounds, [&] { item.read(); });
    measure("  delete + save", rounds, [&] {
        item.remove();
        item.save(data);
    });
    item.remove();
    measure("  read (absent)", rounds, [&] { item.read(); });
}

} // namespace

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true); // never the user's own file store
    QCoreApplication app(argc, argv);
    const QString service = QStringLiteral("tindrel.bench.") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    run("Secret Service (falls back to files without one)", KeychainItem(service, QStringLiteral("acct")));
    auto files = std::make_shared<FileKeychainPrimitives>(FileKeychainPrimitives::defaultDirectory());
    run("file store", KeychainItem(service, QStringLiteral("acct"), {files, files}));
    return 0;
}
