// opcda-client: what the sinks of watch and async share: one line per item
// (plain, CSV or the live table) and the completions seen so far.
#pragma once
#include "client/Session.h"

#include <atomic>
#include <map>
#include <mutex>

namespace opcda_client {

class ItemPrinter {
public:
    ItemPrinter(const std::vector<std::wstring>& ids, const Options& o) : m_o(o), m_ids(ids) {}

    bool HasCompletion(DWORD tid)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_completions.count(tid) != 0;
    }

    std::atomic<long> m_lines{0};
    std::atomic<long> m_blocks{0};

protected:
    // The item's ID from its client handle (the index of its argument).
    const std::wstring IdOf(OPCHANDLE hClient) const
    {
        return hClient < m_ids.size() ? m_ids[hClient] : std::to_wstring(hClient);
    }
    // Under m_mutex.
    void Print(const std::wstring& id, const std::wstring& value, const std::wstring& type, WORD quality,
               const FILETIME* ft, DWORD tid)
    {
        if (m_o.live) {
            m_live[id] = value + L"  " + QualityText(quality) + (ft ? L"  " + FileTimeText(*ft, true) : L"");
            wprintf(L"\x1b[H\x1b[J");
            for (const auto& row : m_live)
                wprintf(L"%-20ls %ls\n", row.first.c_str(), row.second.c_str());
            fflush(stdout);
            ++m_lines;
            return;
        }
        if (m_o.csv) {
            wprintf(L"%ls,%ls,%ls,%ls,%ls,%ls\n", Csv(id).c_str(), Csv(value).c_str(), type.c_str(),
                    QualityText(quality).c_str(), ft ? FileTimeText(*ft, true).c_str() : L"",
                    ft ? FileTimeText(*ft, false).c_str() : L"");
        } else {
            wprintf(L"%ls%-20ls %-24ls %-22ls %ls\n",
                    tid ? (L"[transaction " + std::to_wstring(tid) + L"] ").c_str() : L"", id.c_str(), value.c_str(),
                    QualityText(quality).c_str(), ft ? FileTimeText(*ft, true).c_str() : L"");
        }
        fflush(stdout);
        ++m_lines;
    }
    // Under m_mutex.
    void PrintWriteResult(DWORD tid, OPCHANDLE hClient, HRESULT hr)
    {
        wprintf(L"write complete (transaction %lu): %ls: %ls\n", static_cast<unsigned long>(tid),
                IdOf(hClient).c_str(), HResultText(hr).c_str());
        fflush(stdout);
    }

    std::mutex m_mutex;
    std::map<DWORD, DWORD> m_completions;  // transaction id -> item count
    const Options& m_o;

private:
    std::vector<std::wstring> m_ids;
    std::map<std::wstring, std::wstring> m_live;
};

// What watch and async do before their first call: the group, its items and
// (async) the handles and the values to write (WatchCommands.cpp).
struct AsyncPlan {
    std::wstring op;  // read, write, refresh or cancel
    std::vector<std::wstring> ids;
    ComPtr<IOPCItemMgt> mgt;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;  // write
    AsyncPlan() = default;
    AsyncPlan(const AsyncPlan&) = delete;
    AsyncPlan& operator=(const AsyncPlan&) = delete;
    ~AsyncPlan()
    {
        for (auto& v : values)
            VariantClear(&v);
    }
};
int PrepareWatch(Session& s, const Options& o, ComPtr<IOPCItemMgt>* mgt);
int PrepareAsync(Session& s, const Options& o, AsyncPlan* plan);
// Activates the group and prints item changes until --count or --for is
// reached; then deactivates it. unit names what carried the changes.
int WatchUntilDone(IOPCItemMgt* mgt, const Options& o, ItemPrinter& printer, const wchar_t* unit);
// Waits up to 10 s for the completion of tid.
int WaitForCompletion(ItemPrinter& printer, DWORD tid);

// The 2.0 paths (CallbackCommands.cpp).
int WatchThroughCallback(Session& s, const Options& o);
int AsyncThroughCallback(Session& s, const Options& o);

}  // namespace opcda_client
