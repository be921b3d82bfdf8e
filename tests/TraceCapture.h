// Captures the trace text written in this process while it lives.
#pragma once
#include "common/Trace.h"

#include <mutex>
#include <string>
#include <vector>

class TraceCapture {
public:
    TraceCapture()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Text().clear();
        SetTraceSink(&Sink);
    }
    ~TraceCapture() { SetTraceSink(nullptr); }

    std::wstring text() const
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Text();
    }
    std::vector<std::wstring> lines() const
    {
        std::vector<std::wstring> out;
        std::wstring all = text();
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(L'\n', start);
            if (end == std::wstring::npos) {
                out.push_back(all.substr(start));
                break;
            }
            out.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    bool contains(const std::wstring& s) const { return text().find(s) != std::wstring::npos; }
    size_t count(const std::wstring& s) const
    {
        std::wstring all = text();
        size_t n = 0;
        for (size_t p = all.find(s); p != std::wstring::npos; p = all.find(s, p + 1))
            ++n;
        return n;
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::wstring& Text()
    {
        static std::wstring t;
        return t;
    }
    static void Sink(const wchar_t* text)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Text() += text;
    }
};
