#include "records/RecordsStore.h"

#include <atomic>

namespace records {

namespace {
std::atomic<RecordsStore*> g_store{nullptr};
}

RecordsStore* CurrentRecordsStore()
{
    return g_store.load();
}

RecordsStore* SetRecordsStore(RecordsStore* store)
{
    return g_store.exchange(store);
}

} // namespace records
