// opcda-client: the command table, the command line and the entry.
#include "client/Commands.h"

#include "client/Session.h"

#include <cwchar>

using namespace opcda_client;

namespace {

struct Command {
    const wchar_t* name;
    int (*run)(Session&, const Options&);
    const wchar_t* usage;
    bool needsArgs;
    int (*runAlone)(const Options&);  // a command that needs no server session
};

const Command kCommands[] = {
    {L"servers", nullptr,
     L"servers\n  Lists the OPC DA servers of this machine through the OPC server list\n"
     L"  (OPC.ServerList.1): CLSID, ProgID, version-independent ProgID, name, and the\n"
     L"  DA categories each is registered in.",
     false, CmdServers},
    {L"status", CmdStatus, L"status\n  Prints the server's status (and, with DA 2.0, the locale and the client name).",
     false},
    {L"browse", CmdBrowse,
     L"browse [--flat] [--filter PATTERN] [--max N]\n  Prints the address-space tree, or the flat item IDs that match\n"
     L"  PATTERN (? any character, # a digit, * anything, [a-f] [!a-f] lists).\n"
     L"  With DA 3.0 (IOPCBrowse) the filter applies to item names, and --max N asks for\n"
     L"  pages of N elements joined by continuation points (shown between the pages).",
     false},
    {L"validate", CmdValidate,
     L"validate [--type VT] ITEM...\n  Checks item IDs and prints their canonical type and access rights.", true},
    {L"read", CmdRead,
     L"read [--cache|--device|--max-age MS] [--type VT] [--csv] ITEM...\n  Reads items once (from the device by default): value, type,"
     L"\n  quality and time stamp in local time and UTC. --max-age reads through IOPCItemIO\n"
     L"  (DA 3.0, no group): a cached value younger than MS ms, else a device sample\n"
     L"  (0: always the device, 4294967295: always the cache).",
     true},
    {L"write", CmdWrite,
     L"write [--vqt [--quality Q]] ITEM=VALUE...\n  Writes parameters; values take the item's canonical type\n"
     L"  (on/off for .on, Sine/Ramp/Noise/Counter or 0-3 for .fct, numbers for .period and .t0).\n"
     L"  --vqt writes through IOPCItemIO::WriteVQT (DA 3.0); --quality sends a quality too,\n"
     L"  which the server refuses (its device makes its own).",
     true},
    {L"watch", CmdWatch,
     L"watch [--rate MS] [--deadband PCT] [--keep-alive MS] [--no-time] [--type VT] [--for SECONDS] [--count N]\n"
     L"      [--csv] [--live] [--write ITEM=VALUE]... ITEM...\n"
     L"  Adds an active group, connects for data changes (IOPCDataCallback; with --da1 an\n"
     L"  IDataObject advise sink) and prints one line per item change.\n"
     L"  --write sets parameters first, in the same group (a set keeps its parameters only\n"
     L"  while some item uses it, so writes from another client process are gone by then).\n"
     L"  --keep-alive asks for an empty callback when nothing changed for MS ms\n"
     L"  (IOPCGroupStateMgt2, DA 3.0); each is printed as a keep-alive line.",
     true},
    {L"async", CmdAsync,
     L"async read|refresh|cancel [--cache|--device] ITEM...\nasync write ITEM=VALUE...\n"
     L"  Starts an asynchronous operation and prints its completion; cancel starts a read\n"
     L"  and cancels it at once. With DA 2.0 (IOPCAsyncIO2) reads come from the device.",
     true},
    {L"properties", CmdProperties,
     L"properties ITEM...\n  Prints the properties of items (IOPCBrowse::GetProperties with DA 3.0,\n"
     L"  IOPCItemProperties with DA 2.0).", true},
};

void Usage(FILE* out)
{
    fwprintf(out, L"usage: opcda-client [--server PROGID | --test] [--da1|--da2] COMMAND [options] [ITEM...]\n\n"
                  L"--server (or --progid) names the server (default %ls); --test is the test server\n"
                  L"%ls (every data type, arrays, fault items).\n\ncommands:\n",
             VANTREL_PROGID, VANTREL_TEST_PROGID);
    for (const Command& c : kCommands)
        fwprintf(out, L"  %ls\n", c.name);
    fwprintf(out, L"\nThe client speaks the newest OPC DA version the server offers (3.0, 2.0, 1.0a);\n"
                  L"--da2 keeps to the 2.0 interfaces, --da1 to the 1.0a ones (IDataObject streams,\n"
                  L"IOPCAsyncIO).\n"
                  L"Run 'opcda-client COMMAND --help' for a command's options.\n"
                  L"Exit codes: 0 ok, 1 some item failed, 2 usage, 3 no server, 4 a call failed.\n");
}

}  // namespace

int RunClient(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 4096);
    setvbuf(stderr, nullptr, _IONBF, 0);
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::wstring a = argv[i];
        if ((a == L"--progid" || a == L"--server") && i + 1 < argc)
            o.progId = argv[++i];
        else if (a == L"--test")
            o.progId = VANTREL_TEST_PROGID;
        else if (a == L"--da1")
            o.da1 = true;
        else if (a == L"--da2")
            o.da2 = true;
        else if (a == L"--help" || a == L"-h") {
            Usage(stdout);
            return kOk;
        } else
            break;
    }
    if (i >= argc) {
        Usage(stderr);
        return kUsage;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (wcscmp(c.name, argv[i]) == 0)
            command = &c;
    }
    if (!command) {
        fwprintf(stderr, L"error: unknown command '%ls'\n", argv[i]);
        Usage(stderr);
        return kUsage;
    }
    for (++i; i < argc; ++i) {
        std::wstring a = argv[i];
        auto value = [&](const wchar_t* what) -> const wchar_t* {
            if (i + 1 >= argc) {
                fwprintf(stderr, L"error: %ls needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == L"--help" || a == L"-h") {
            wprintf(L"usage: opcda-client %ls\n", command->usage);
            return kOk;
        } else if (a == L"--csv") {
            o.csv = true;
        } else if (a == L"--cache") {
            o.device = false;
        } else if (a == L"--device") {
            o.device = true;
        } else if (a == L"--no-time") {
            o.withTime = false;
        } else if (a == L"--flat") {
            o.flat = true;
        } else if (a == L"--live") {
            o.live = true;
        } else if (a == L"--da1") {
            o.da1 = true;
        } else if (a == L"--da2") {
            o.da2 = true;
        } else if (a == L"--vqt") {
            o.vqt = true;
        } else if (a == L"--filter" || a == L"--rate" || a == L"--deadband" || a == L"--for" || a == L"--count" ||
                   a == L"--type" || a == L"--write" || a == L"--max" || a == L"--max-age" || a == L"--quality" ||
                   a == L"--keep-alive") {
            const wchar_t* v = value(a.c_str());
            if (!v)
                return kUsage;
            if (a == L"--filter")
                o.filter = v;
            else if (a == L"--write")
                o.writes.push_back(v);
            else if (a == L"--rate")
                o.rate = wcstoul(v, nullptr, 10);
            else if (a == L"--max")
                o.maxElements = wcstoul(v, nullptr, 10);
            else if (a == L"--max-age") {
                o.maxAgeSet = true;
                o.maxAge = wcstoul(v, nullptr, 10);
            } else if (a == L"--quality") {
                o.qualitySet = true;
                o.quality = static_cast<WORD>(wcstoul(v, nullptr, 0));
            } else if (a == L"--keep-alive")
                o.keepAlive = wcstoul(v, nullptr, 10);
            else if (a == L"--deadband")
                o.deadband = static_cast<float>(wcstod(v, nullptr));
            else if (a == L"--for")
                o.forSeconds = wcstod(v, nullptr);
            else if (a == L"--count")
                o.count = wcstol(v, nullptr, 10);
            else if (!ParseVarType(v, &o.type)) {
                fwprintf(stderr, L"error: unknown type '%ls'\n", v);
                return kUsage;
            }
        } else if (a.size() > 2 && a.compare(0, 2, L"--") == 0) {
            fwprintf(stderr, L"error: unknown option '%ls'\n", a.c_str());
            return kUsage;
        } else {
            o.args.push_back(a);
        }
    }
    if (command->needsArgs && o.args.empty()) {
        fwprintf(stderr, L"usage: opcda-client %ls\n", command->usage);
        return kUsage;
    }
    if (command->run == CmdWatch && o.forSeconds <= 0 && o.count <= 0)
        o.forSeconds = 1e9;  // until the process is ended

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        Fail(L"CoInitializeEx", hr);
        return kCallFailed;
    }
    int rc;
    if (command->runAlone) {
        rc = command->runAlone(o);
    } else {
        Session session;
        if (FAILED(session.Connect(o.progId, o.da1, o.da2)))
            rc = kNoServer;
        else
            rc = command->run(session, o);
    }
    CoUninitialize();
    return rc;
}
