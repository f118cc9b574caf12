#include "LocalBackend.h"
#include "MemorySessionStorage.h"
#include "support/TestSupport.h"

#include "supabase/SupabaseClient.h"

using namespace supabase;

class TestSupabaseRealtime : public QObject {
    Q_OBJECT
private slots:
    void placeholder() { QSKIP("realtime tests come with the server's realtime endpoint"); }
};

TINDREL_TEST_GUILESS_MAIN(TestSupabaseRealtime)
#include "tst_supabaserealtime.moc"
