// The query tool's text for people, on replies recorded from the companion on the fixture machines
// (trimmed, and with one field changed where a case needs it).
#include "QueryText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

namespace {

using namespace quorvantile;
using query::Layout;

// Sunday, 6 December 2026, 17:05:08 UTC.
constexpr std::int64_t kNow = 1796576708;

// Each reply as a table and as one line; nullptr where the reply is not shown.
struct Golden {
    const char* what;
    const char* request;
    const char* reply;
    const char* table;
    const char* line;
};

constexpr const char* kIntelMacSnapshot =
    R"({"version":1,"uptime":5689.977730219,"registryID":17310207520696968527,)"
    R"("model":"Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz","readings":[{"key":"F0Ac","unit":"rpm","value":2160.0},)"
    R"({"key":"F1Ac","unit":"rpm","value":1998.0},{"key":"TB1T","unit":"celsius","value":29.75}],)"
    R"("batteryCapacity":{"designMilliampHours":8755,"fullChargeMilliampHours":7913}})";

const Golden kGoldens[] = {
    {"snapshot of an Intel Mac", "snapshot", kIntelMacSnapshot,
        "Intel(R) Core(TM) i7-4870HQ CPU @ 2.50GHz\n"
        "Fan 1 (F0Ac)           2160 rpm\n"
        "Fan 2 (F1Ac)           1998 rpm\n"
        "Battery (TB1T)         29.8 °C\n"
        "Battery capacity       7913 mAh of 8755 mAh design (health 90 %)\n",
        "Fan 1 2160 rpm, Fan 2 1998 rpm, Battery 29.8 °C, battery capacity 7913/8755 mAh (90 %)"},
    {"an M1 whose second processor key could not be read, without an internal battery", "snapshot",
        R"({"version":1,"uptime":12.5,"registryID":77,"model":"Apple M1","readings":[{"key":"F0Ac","unit":"rpm",)"
        R"("value":0.0},{"key":"TB1T","unit":"celsius","value":-3.25},{"key":"Tp01","unit":"celsius","value":48.0},)"
        R"({"key":"Tp09","unit":"celsius"},{"key":"Tg05","unit":"celsius","value":39.5}]})",
        "Apple M1\n"
        "Fan 1 (F0Ac)              0 rpm\n"
        "Battery (TB1T)         -3.2 °C\n"
        "Processor (Tp01)       48.0 °C\n"
        "Processor (Tp09)     no reading\n"
        "Graphics (Tg05)        39.5 °C\n"
        "Battery capacity     no internal battery reading\n",
        "Fan 1 0 rpm, Battery -3.2 °C, Processor 48.0 °C, Processor no reading, Graphics 39.5 °C, "
        "battery capacity unknown"},
    {"snapshot without readings, a health of 89.96 % shown as 90", "snapshot",
        R"({"version":1,"uptime":12.5,"registryID":77,"model":"AMD Ryzen 7 5800U","readings":[],)"
        R"("batteryCapacity":{"designMilliampHours":5002,"fullChargeMilliampHours":4500}})",
        "AMD Ryzen 7 5800U\n"
        "No sensor readings\n"
        "Battery capacity       4500 mAh of 5002 mAh design (health 90 %)\n",
        "no sensor readings, battery capacity 4500/5002 mAh (90 %)"},

    {"accessories, one without a percent", "battery",
        R"({"version":1,"uptime":5692.678205153,"incomplete":false,"readings":[{"registryID":2365467770174271943,)"
        R"("name":"Slim Keys 2 BLE","transport":"BluetoothLowEnergy","percent":90},{"registryID":10895557383101610120,)"
        R"("name":"Travel Mouse M557","transport":"Bluetooth","percent":64},{"registryID":16120152962368544155,)"
        R"("name":"Wireless Keyboard K470","transport":"USB"},{"registryID":17520595441993995849,)"
        R"("name":"Wireless Mouse MX3","transport":"USB","percent":100}]})",
        "TRANSPORT      CHARGE  NAME\n"
        "Bluetooth LE     90 %  Slim Keys 2 BLE\n"
        "Bluetooth        64 %  Travel Mouse M557\n"
        "USB           unknown  Wireless Keyboard K470\n"
        "USB             100 %  Wireless Mouse MX3\n",
        "Slim Keys 2 BLE 90 %, Travel Mouse M557 64 %, Wireless Keyboard K470 unknown, Wireless Mouse MX3 100 %"},
    {"no accessories, incomplete", "battery", R"({"version":1,"uptime":5693.3,"incomplete":true,"readings":[]})",
        "No accessory reports a battery.\n"
        "Accessories with a battery may be missing: the companion could not read them all.\n",
        "no accessory batteries; incomplete"},
    {"no accessories", "battery", R"({"version":1,"uptime":5693.3,"incomplete":false,"readings":[]})",
        "No accessory reports a battery.\n", "no accessory batteries"},
    // As a reply that skipped the companion's checks could hold: nothing may reach the terminal as a control
    // (U+009B is a whole CSI to some terminals).
    {"an escape sequence and a C1 control in a name", "battery",
        "{\"version\":1,\"uptime\":1,\"incomplete\":false,\"readings\":[{\"registryID\":1,"
        "\"name\":\"Mouse\\u001b[2J\\u0085\\u009b\\u00e9\",\"transport\":\"USB\",\"percent\":5}]}",
        "TRANSPORT      CHARGE  NAME\nUSB               5 %  Mouse?[2J??é\n", "Mouse?[2J??é 5 %"},

    // Ascending by pid as sent; the text sorts by CPU time. Started today, in September, and last year.
    {"inventory by CPU time, incomplete", "inventory",
        R"({"version":1,"uptime":5689.98,"uid":1000,"incomplete":true,"readings":[)"
        R"({"pid":1,"name":"systemd","startSeconds":1760000000,"startMicroseconds":270000,)"
        R"("userTicks":8950000000,"systemTicks":20970000000,"residentBytes":14729216},)"
        R"({"pid":4242,"name":"firefox-esr","startSeconds":1790000000,"startMicroseconds":10000,)"
        R"("userTicks":93784120000000,"systemTicks":1000000000,"residentBytes":1288490188},)"
        R"({"pid":17835,"name":"cc1plus","startSeconds":1796571011,"startMicroseconds":210000,)"
        R"("userTicks":3999999999,"systemTicks":160000000,"residentBytes":444596224}]})",
        "3 processes of user 1000\n"
        "    PID  START         TIME     RSS  NAME\n"
        "   4242  Sep 21  1-02:03:05    1.2G  firefox-esr\n"
        "      1  2025       0:29.92     14M  systemd\n"
        "  17835  15:30      0:04.15    424M  cc1plus\n"
        "Some of your processes may be missing: the companion could not read them all.\n",
        "3 processes; busiest: firefox-esr 1-02:03:05, systemd 0:29.92, cc1plus 0:04.15; incomplete"},
    {"no processes", "inventory", R"({"version":1,"uptime":5689.98,"uid":1000,"incomplete":false,"readings":[]})",
        "0 processes of user 1000\n", "0 processes"},

    {"process details, one process gone", "process",
        R"({"version":1,"uptime":5697.547376256,"readings":[{"request":{"pid":15272,"startSeconds":1796576708,)"
        R"("startMicroseconds":210000},"startAbsolute":5697210000000,"executableUUID":"775fcd84c34c4f3b9de2866ad16da867",)"
        R"("physicalFootprint":983040,"diskReadBytes":0,"diskWriteBytes":32768,"threads":1},{"request":{"pid":15272,)"
        R"("startSeconds":1796576708,"startMicroseconds":210001}},{"request":{"pid":900,"startSeconds":1790000000,)"
        R"("startMicroseconds":0},"startAbsolute":1,"executableUUID":"00000000000000000000000000000000",)"
        R"("physicalFootprint":52428800,"diskReadBytes":1610612736,"diskWriteBytes":4096,"threads":12}]})",
        "    PID  START   FOOTPRINT     READ  WRITTEN  THREADS  EXECUTABLE ID\n"
        "  15272  17:05        960K       0B      32K        1  775fcd84c34c4f3b9de2866ad16da867\n"
        "  15272  17:05   no details: the process has ended, its pid is another process's now, or it is not "
        "yours\n"
        "    900  Sep 21        50M     1.5G     4.0K       12  none\n",
        "15272 960K footprint, 0B read, 32K written, 1 thread; 15272 no details; "
        "900 50M footprint, 1.5G read, 4.0K written, 12 threads"},

    {"quit refused", "quit",
        R"({"version":1,"request":{"process":{"pid":1,"startSeconds":1796571011,"startMicroseconds":270000},)"
        R"("bundleIdentifier":"org.gnome.TextEditor"},"uptime":5697.549394081,"outcome":"refused"})",
        "Did not ask org.gnome.TextEditor (pid 1) to quit: that process has ended or is not this application, "
        "or the application may not be quit this way.\n",
        "Did not ask org.gnome.TextEditor (pid 1) to quit: that process has ended or is not this application, "
        "or the application may not be quit this way."},
    {"quit requested", "quit",
        R"({"version":1,"request":{"process":{"pid":4242,"startSeconds":1796571011,"startMicroseconds":270000},)"
        R"("bundleIdentifier":"org.gnome.TextEditor"},"uptime":5697.549394081,"outcome":"requested"})",
        "Asked org.gnome.TextEditor (pid 4242) to quit.\n", "Asked org.gnome.TextEditor (pid 4242) to quit."},

    {"a snapshot for the battery request", "battery", kIntelMacSnapshot, nullptr, nullptr},
    {"a snapshot without its readings", "snapshot", R"({"version":1,"uptime":1})", nullptr, nullptr},
    {"not JSON", "quit", "not json", nullptr, nullptr},
};

TEST(QueryText, EachRequestsReplyReadsAsItsGoldenTextAndOnlyItsOwnIsShown)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const auto expected = [](const char* text) { return text ? std::optional<std::string>(text) : std::nullopt; };
    for (const Golden& golden : kGoldens) {
        EXPECT_EQ(query::replyText(golden.request, golden.reply, Layout::table, kNow), expected(golden.table))
            << golden.what;
        EXPECT_EQ(query::replyText(golden.request, golden.reply, Layout::line, kNow), expected(golden.line))
            << golden.what << " (line)";
    }
}

TEST(QueryTextUnits, SizesAndTimesRoundAtTheirBoundaries)
{
    for (const auto& [bytes, shown] :
        {std::tuple {0ULL, "0B"}, {1023ULL, "1023B"}, {1024ULL, "1.0K"}, {10188ULL, "9.9K"}, {10189ULL, "10K"},
            {1048063ULL, "1023K"}, {1048064ULL, "1.0M"}, {18446744073709551615ULL, "16E"}}) {
        EXPECT_EQ(query::humanBytes(bytes), shown) << bytes;
    }
    for (const auto& [nanoseconds, shown] : {std::tuple {0ULL, "0:00.00"}, {9'999'999ULL, "0:00.00"},
             {3'599'990'000'000ULL, "59:59.99"}, {3'600'000'000'000ULL, "1:00:00"}, {86'399'000'000'000ULL, "23:59:59"},
             {86'400'000'000'000ULL, "1-00:00:00"}}) {
        EXPECT_EQ(query::cpuTime(nanoseconds), shown) << nanoseconds;
    }
}

} // namespace
