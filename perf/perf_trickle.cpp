// CPU while a peer trickles a partial record: a bare TCP peer connects to a
// listening message system, announces a record of 1000 bytes and sends its
// body one byte every 100 ms. A receive path that waits for the record's
// bytes without polling uses next to no CPU meanwhile. Prints the process's
// CPU time over the wall time of the trickle, in percent of one core.
//
//   vesk_perf_trickle [--seconds 3] [--interval-ms 100]
#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

int main(int argc, char** argv)
{
    const Options options(argc, argv,
                          "CPU use while a bare TCP peer trickles a partial record one byte at a time, in percent\n"
                          "of one core.\n",
                          {{"seconds", "S", "length of the trickle (default 3)"},
                           {"interval-ms", "MS", "pause between two bytes (default 100)"}});
    const double seconds = options.Real("seconds", 3);
    const long interval_ms = options.Number("interval-ms", 100);
    MessageSystem server(4);
    const std::string port = server.Listen("", VESKMESSYS_CRYPTO_ALGORITHM_NONE);
    const int peer = port.empty() ? -1 : ConnectTcp("127.0.0.1", std::stoi(port));
    if (peer < 0) {
        std::fprintf(stderr, "cannot connect\n");
        return 1;
    }
    const unsigned char header[kRecordHeader] = {0, 2, 0, 0, 1000 >> 8, 1000 & 0xFF};
    WriteAll(peer, header, sizeof header);
    // Lets the accept and the server's first flight settle first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const double cpu_before = ProcessCpuSeconds();
    const auto start = Clock::now();
    long sent = 0;
    while (SecondsBetween(start, Clock::now()) < seconds && sent < 999) {
        const unsigned char byte = 0x5A;
        if (!WriteAll(peer, &byte, 1))
            break;
        ++sent;
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    const double wall = SecondsBetween(start, Clock::now());
    const double cpu = ProcessCpuSeconds() - cpu_before;
    close(peer);
    if (!options.Has("no-header"))
        PrintTableHeader();
    Row row{"CPU while a peer trickles a partial record (" + std::to_string(sent) + " bytes)",
            100 * cpu / wall,
            "% of a core",
            0,
            "",
            false,
            1};
    PrintRow(row);
    return 0;
}
