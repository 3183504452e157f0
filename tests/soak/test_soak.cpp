// The fault soak: the whole library against a simulated controller that loses I/O replies in
// bursts, answers late (now and then beyond the repeat time), answers configuration writes late,
// puts noise before replies, splits them and changes its session id, all at random from a seed.
// Meanwhile an application works the library from two threads: one changes configurations, asks
// for counter resets and motor commands, sets display messages and sends Bluetooth messages; the
// other sends shell commands and queries information. At the end the invariants are checked and
// printed with the seed; the same seed replays the controller's faults and the application's
// choices (the timing of a run is the machine's).
//
//   KVLIB_SOAK_SECONDS  how long the application works (default 60)
//   KVLIB_SOAK_SEED     the seed (default: drawn, and printed)
//   KVLIB_SOAK_FAULTS   the simulator's --random-faults (default kDefaultFaults)
//   KVLIB_SOAK_KEEP     a directory to keep the library log and the simulator's record in; on a
//                       failure they are kept in the system's temporary directory anyway
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "kvarolib.h"
#include "support/controller.h"
#include "support/lib_fixture.h"
#include "transfer/area_fields.h"
#include "transfer/request_table.h"
#include "transfer/transfer_area.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Rates in thousandths of the replies each kind can strike. About 100 I/O exchanges a second
// give a burst of lost replies every half second or so, a late configuration reply for every
// third write, and a new session id every few seconds.
constexpr char kDefaultFaults[] = "lose=15,late=20,late-config=300,garbage=20,split=30,session=3";
constexpr std::array<int, 3> kControllers{0, 2, 5};  // the master and two extension controllers
constexpr char kSerial[] = "KQ10042317";
constexpr std::uint8_t kPhone[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x01};
constexpr std::uint8_t kRemote[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x72, 0x02};
constexpr std::uint32_t kWriteChannel = 2;  // kqsim's loopback carries its messages to 5
constexpr std::uint32_t kReadChannel = 5;
// The cycle gives up after this much silence; the controller's faults never come near it.
constexpr auto kGiveUp = milliseconds{5000};
// A Bluetooth message takes a cycle or two and a loop through the radio.
constexpr auto kBtPatience = seconds{5};
// After the application stops, what it asked for must have arrived within this.
constexpr auto kSettle = seconds{30};

// What each call may take: the bounds the header gives (a shell command waits at most 10 s for
// each piece of its answer, an information read 3 s, a start 5 s; the setters and the Bluetooth
// requests return at once), each with room for a slow, loaded (or sanitized) machine.
const std::map<std::string, milliseconds> kBounds{
    {"kvxStartTransferArea", milliseconds{5000 + 2000}},
    {"KvRemoteCmd", milliseconds{10000 + 2000}},
    {"GetVoriKqInfo", milliseconds{3000 + 2000}},
    {"GetVoriKqDevName", milliseconds{2000}},
    {"SetVoriKqMessage", milliseconds{2000}},
    {"SendBtMessage", milliseconds{2000}},
    {"ConnectBtAddress", milliseconds{2000}},
    {"BtListenConOn", milliseconds{2000}},
    {"BtReadMsgOn", milliseconds{2000}},
};

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

std::string envText(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0xf];
    }
    return s;
}

// The application's g-th configuration of a controller: every field sent takes a value from g,
// and the fields that are never sent carry a mark that must not reach the controller.
KVX1_CONFIG configFor(std::uint32_t g) {
    KVX1_CONFIG c{};
    c.reserved1 = 0xDEADBEEF;
    c.HeadValue = 0x50000000U + g;
    for (std::uint32_t i = 0; i < 8; ++i) {
        c.InputSetting[i].Mode = static_cast<std::uint8_t>((g + i) & 0x7F);
        c.InputSetting[i].Digital = static_cast<std::uint8_t>((g >> i) & 1U);
        c.InputSetting[i].reserved[0] = 0xEE;
    }
    for (std::uint32_t i = 0; i < 4; ++i) {
        c.CounterSetting[i].Mode = static_cast<std::uint8_t>((g * 3 + i) & 0xFF);
        c.CounterSetting[i].reserved[0] = 0xEE;
    }
    for (std::uint32_t j = 0; j < 32; ++j) {
        c.FurtherSettings[j] = static_cast<std::uint8_t>((g + 7 * j) & 0xFF);
    }
    return c;
}

// The 48 bytes a controller holds for that configuration, as the controller's side lays them out.
std::string heldFor(std::uint32_t g) {
    const KVX1_CONFIG c = configFor(g);
    std::array<std::uint8_t, 48> b{};
    std::memcpy(b.data(), &c.HeadValue, 4);
    for (std::size_t i = 0; i < 8; ++i) {
        b[4 + i] =
            static_cast<std::uint8_t>(c.InputSetting[i].Mode | (c.InputSetting[i].Digital != 0 ? 0x80 : 0));
    }
    for (std::size_t i = 0; i < 4; ++i) {
        b[12 + i] = c.CounterSetting[i].Mode;
    }
    std::memcpy(b.data() + 16, c.FurtherSettings, 32);
    return hex(b.data(), b.size());
}

std::string expectedHostname(int k) {
    return k == 0 ? "VORI-KQ-M" : "VORI-KQ-S" + std::to_string(k);
}

// ---- What the callbacks see (they run on the library's receive thread) ---------------------------

std::atomic<IF08_TRANSFER*> gArea{nullptr};

struct Seen {
    std::mutex mutex;
    // [0] counter resets, [1] motor commands; per controller and index, the ids the controller
    // reported when each callback came.
    std::array<std::array<std::array<std::vector<std::uint16_t>, 4>, IF08_MAX>, 2> commandIds;
    std::vector<std::pair<int, int>> extState;
    std::vector<std::uint16_t> connect, listen, readSwitch, write;  // statuses
    std::vector<std::string> received;                              // messages on the read channel
    std::vector<std::string> odd;                                   // events nobody asked for
    std::vector<std::optional<std::string>> shell;                  // shell answers, in order
};
Seen& seen() {
    static Seen s;
    return s;
}

void onCommand(int kind, std::int32_t k, std::int32_t i) {
    IF08_TRANSFER* area = gArea.load();
    Seen& s = seen();
    std::lock_guard lock(s.mutex);
    if (area == nullptr || k < 0 || k >= IF08_MAX || i < 0 || i > 3) {
        s.odd.push_back("command callback (" + std::to_string(k) + ", " + std::to_string(i) + ")");
        return;
    }
    const KVX1_INPUT& in = area->Record[k].Input;
    s.commandIds[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)][static_cast<std::size_t>(i)]
        .push_back(kind == 0 ? kv::loadRelaxed(in.CounterResetCmdId[i])
                             : kv::loadRelaxed(in.MotorExCmdId[i]));
}
void onCounterResetted(std::int32_t k, std::int32_t i) {
    onCommand(0, k, i);
}
void onMotorExReached(std::int32_t k, std::int32_t i) {
    onCommand(1, k, i);
}
void onExtState(std::int32_t k, std::int32_t state) {
    std::lock_guard lock(seen().mutex);
    seen().extState.emplace_back(k, state);
}

template <std::vector<std::uint16_t> Seen::*List, std::uint32_t Channel>
void onBt(BtEvent* e) {
    std::lock_guard lock(seen().mutex);
    if (e->Channel != Channel) {
        seen().odd.push_back("Bluetooth event on channel " + std::to_string(e->Channel));
        return;
    }
    (seen().*List).push_back(e->Status);
}
void onBtRead(BtEvent* e) {
    std::lock_guard lock(seen().mutex);
    if (e->Channel != kReadChannel) {
        seen().odd.push_back("read event on channel " + std::to_string(e->Channel));
    } else if (e->Status == 10) {
        seen().received.emplace_back(reinterpret_cast<const char*>(e->Data),
                                     std::min<std::size_t>(e->Length, 16));
    } else {
        seen().readSwitch.push_back(e->Status);
    }
}
void onShell(const char* reply, std::uint32_t length) {
    std::lock_guard lock(seen().mutex);
    seen().shell.push_back(reply != nullptr ? std::optional<std::string>(std::string(reply, length))
                                            : std::nullopt);
}

// ---- The soak ------------------------------------------------------------------------------------

// One application thread's record of the call it is in, for the report when something hangs.
struct InCall {
    std::atomic<const char*> name{nullptr};
    std::atomic<std::int64_t> since{0};
};

struct CallFigures {
    std::uint64_t calls = 0;
    milliseconds longest{0};
};

// The invariants, each checked and reported on its own.
enum class Inv { Transfer, Config, Commands, Calls, Messages };
constexpr std::array<const char*, 5> kInvariants{
    "the transfer ran throughout (the controller never stayed silent for the give-up time)",
    "every controller holds the application's last configuration, every ConfigId acknowledged",
    "every counter reset and motor command confirmed, each with one callback",
    "every call returned within its bound, nothing hung, every shell answer whole, every information "
    "query answered by its own reply",
    "display messages shown, Bluetooth messages arrived once each, no callback nobody asked for"};

class Soak {
  public:
    Soak(std::uint64_t seed, seconds duration, std::string faults)
        : seed_(seed), duration_(duration), faults_(std::move(faults)) {}

    void run();

  private:
    KOLV_X1_TRANSFER& rec(int k) { return gArea.load()->Record[k]; }
    void fail(Inv inv, const std::string& what) {
        std::lock_guard lock(failMutex_);
        failLocked(inv, what);
    }
    // The same failure seen again is counted, not listed again.
    void failLocked(Inv inv, const std::string& what) {
        for (Failure& f : failures_) {
            if (f.text == what) {
                ++f.times;
                return;
            }
        }
        failures_.push_back({inv, what, 1});
    }

    // Runs `call`, timing it against its bound; `in` names it while it runs.
    template <typename Fn>
    auto timed(InCall& in, const char* name, Fn&& call) {
        const auto start = Clock::now();
        in.since.store(start.time_since_epoch().count());
        in.name.store(name);
        auto result = call();
        in.name.store(nullptr);
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        std::lock_guard lock(failMutex_);
        CallFigures& f = figures_[name];
        ++f.calls;
        f.longest = std::max(f.longest, took);
        const auto bound = kBounds.at(name);
        if (took > bound) {
            failLocked(Inv::Calls, std::string(name) + " took " + std::to_string(took.count()) +
                                       " ms (bound " + std::to_string(bound.count()) + " ms)");
        }
        return result;
    }

    // Lets `span` pass, or less when the soak ends meanwhile.
    void idle(milliseconds span) {
        const auto end = Clock::now() + span;
        while (!stop_.load() && Clock::now() < end) {
            std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds{20}, end - Clock::now()));
        }
    }
    bool begin();
    bool setUpBluetooth();
    void machine();  // configurations, commands, display messages, Bluetooth
    void service();  // shell commands and information queries
    void changeConfig(int k);
    void command(int kind, int k, int i);
    void checkCommands();
    void sendBt();
    void shellCommand(const std::string& command, const std::string& expected);
    void infoQuery(int k);
    bool settled();
    void watchUntil(Clock::time_point end);
    bool joinWithin(std::thread& a, std::thread& b, seconds limit);
    std::map<std::string, std::string> report();
    void check(const std::map<std::string, std::string>& held);
    void print(const std::map<std::string, std::string>& report);
    void keepFiles(bool failed);

    const std::uint64_t seed_;
    const seconds duration_;
    const std::string faults_;
    std::unique_ptr<kvtest::Controller> sim_;
    std::uint32_t handle_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> machineDone_{false};
    std::atomic<bool> serviceDone_{false};
    InCall machineCall_;
    InCall serviceCall_;

    // The transfer as the main thread watched it.
    std::optional<milliseconds> stoppedAt_;
    Clock::time_point started_{};
    std::uint64_t samples_ = 0;

    // Thread "machine" alone writes these until it is joined.
    std::array<std::uint32_t, IF08_MAX> configGen_{};
    std::uint64_t configChanges_ = 0;
    struct Command {
        std::uint16_t id = 0;     // the id asked for last
        std::uint64_t asked = 0;  // commands asked for
        std::uint64_t confirmed = 0;
        bool outstanding = false;
        std::vector<std::uint16_t> ids;  // every id asked for, in order
    };
    std::array<std::array<std::array<Command, 4>, IF08_MAX>, 2> commands_{};
    std::array<std::string, IF08_MAX> message_{};
    std::uint64_t messages_ = 0;
    bool btReady_ = false;
    std::vector<std::string> btSent_;
    Clock::time_point btLastSent_{};

    // Thread "service" alone writes these until it is joined.
    std::uint64_t shellCommands_ = 0;
    std::uint64_t infoQueries_ = 0;

    std::mutex failMutex_;
    struct Failure {
        Inv inv;
        std::string text;
        std::uint64_t times;
    };
    std::vector<Failure> failures_;
    std::map<std::string, CallFigures> figures_;
};

std::string code(std::uint32_t rc) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", rc);
    return text;
}

// Channel 2 connected, channel 5 connected by the remote device's call and reading: what channel 2
// writes arrives on channel 5.
bool Soak::setUpBluetooth() {
    const auto step = [&](const char* name, std::uint32_t rc, std::vector<std::uint16_t> Seen::*list,
                          std::uint16_t status) {
        const bool answered = rc == 0 && kvtest::waitFor([&] {
                                  std::lock_guard lock(seen().mutex);
                                  const auto& l = seen().*list;
                                  return std::find(l.begin(), l.end(), status) != l.end();
                              });
        if (!answered) {
            fail(Inv::Messages, std::string("Bluetooth set-up: ") + name + " returned " + code(rc) +
                                    (rc == 0 ? ", no answer with status " + std::to_string(status) : ""));
        }
        return answered;
    };
    InCall& in = machineCall_;
    return step("ConnectBtAddress",
                timed(in, "ConnectBtAddress",
                      [&] {
                          return ConnectBtAddress(handle_, kWriteChannel, kPhone,
                                                  onBt<&Seen::connect, kWriteChannel>);
                      }),
                &Seen::connect, 0) &&
           step("BtListenConOn",
                timed(in, "BtListenConOn",
                      [&] {
                          return BtListenConOn(handle_, kReadChannel, kRemote,
                                               onBt<&Seen::listen, kReadChannel>);
                      }),
                &Seen::listen, 11) &&
           step("BtReadMsgOn",
                timed(in, "BtReadMsgOn", [&] { return BtReadMsgOn(handle_, kReadChannel, onBtRead); }),
                &Seen::readSwitch, 0);
}

void Soak::changeConfig(int k) {
    const std::uint32_t g = ++configGen_[static_cast<std::size_t>(k)];
    const KVX1_CONFIG c = configFor(g);
    // The configuration first, then its id: the change check sends what the id stands for.
    kv::storeBytesRelaxed(&rec(k).Config, &c, sizeof c);
    kv::storeRelaxed(rec(k).State.ConfigId, static_cast<std::uint8_t>(g & 0xFF));
    ++configChanges_;
}

void Soak::command(int kind, int k, int i) {
    Command& c =
        commands_[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
    if (c.outstanding) {
        return;
    }
    c.id = static_cast<std::uint16_t>(c.id == 0xFFFF ? 1 : c.id + 1);
    KVX1_OUTPUT& out = rec(k).Output;
    KVX1_INPUT& in = rec(k).Input;
    // The new id, then the flag cleared: a confirmation needs the controller to report the new id,
    // which takes it the command delay, so the flag cannot be set for the old one in between.
    if (kind == 0) {
        kv::storeRelaxed(out.CounterResetCmdId[i], c.id);
        kv::storeRelaxed(in.CounterResetted[i], std::uint16_t{0});
    } else {
        kv::storeRelaxed(out.MotorExCmdId[i], c.id);
        kv::storeRelaxed(in.MotorExReached[i], std::uint16_t{0});
    }
    c.outstanding = true;
    ++c.asked;
    c.ids.push_back(c.id);
}

void Soak::checkCommands() {
    for (int kind = 0; kind < 2; ++kind) {
        for (const int k : kControllers) {
            for (int i = 0; i < 4; ++i) {
                Command& c = commands_[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)]
                                      [static_cast<std::size_t>(i)];
                const KVX1_INPUT& in = rec(k).Input;
                const std::uint16_t flag = kind == 0 ? kv::loadRelaxed(in.CounterResetted[i])
                                                     : kv::loadRelaxed(in.MotorExReached[i]);
                if (c.outstanding && flag != 0) {
                    c.outstanding = false;
                    ++c.confirmed;
                }
            }
        }
    }
}

void Soak::sendBt() {
    {
        // One message on its way at a time; one that has not arrived after a while counts as lost
        // (the check at the end names it) and the next one goes.
        std::lock_guard lock(seen().mutex);
        if (seen().received.size() < btSent_.size() && Clock::now() - btLastSent_ < kBtPatience) {
            return;
        }
    }
    const std::string text = "m" + std::to_string(btSent_.size());
    btSent_.push_back(text);
    btLastSent_ = Clock::now();
    const std::uint32_t rc = timed(machineCall_, "SendBtMessage", [&] {
        return SendBtMessage(handle_, kWriteChannel, static_cast<std::uint32_t>(text.size()),
                             reinterpret_cast<const std::uint8_t*>(text.data()),
                             onBt<&Seen::write, kWriteChannel>);
    });
    if (rc != 0) {
        fail(Inv::Calls, "SendBtMessage returned " + code(rc) + " while the transfer runs");
        btSent_.pop_back();
    }
}

void Soak::machine() {
    std::mt19937_64 random(seed_ * 2 + 1);
    const auto pick = [&](std::uint64_t n) { return static_cast<int>(random() % n); };
    while (!stop_.load()) {
        checkCommands();
        const int k = kControllers[static_cast<std::size_t>(pick(kControllers.size()))];
        // About 45 turns a second: a configuration change a second or so (now and then a second
        // one close behind, while the first one's write may still be on its way), several commands
        // and Bluetooth messages a second, a display message now and then. Changes much more
        // often would leave no time for inputs: a configuration write holds them for 250 ms.
        const int what = pick(50);
        if (what == 0) {
            changeConfig(k);
        } else if (what == 1) {
            changeConfig(k);
            idle(milliseconds{pick(60)});
            changeConfig(k);
        } else if (what < 12) {
            command(0, k, pick(4));
        } else if (what < 22) {
            command(1, k, pick(4));
        } else if (what < 26) {
            const std::string text = "soak " + std::to_string(++messages_);
            if (timed(machineCall_, "SetVoriKqMessage",
                      [&] { return SetVoriKqMessage(handle_, k, text.c_str()); }) != 0) {
                fail(Inv::Calls, "SetVoriKqMessage refused");
            } else {
                message_[static_cast<std::size_t>(k)] = text;
            }
        } else if (what < 34 && btReady_) {
            sendBt();
        }
        // The pace of a busy application, not a wait for anything.
        idle(milliseconds{5 + pick(35)});
    }
    machineDone_.store(true);
}

void Soak::shellCommand(const std::string& command, const std::string& expected) {
    const std::size_t before = [] {
        std::lock_guard lock(seen().mutex);
        return seen().shell.size();
    }();
    const std::uint32_t rc =
        timed(serviceCall_, "KvRemoteCmd", [&] { return KvRemoteCmd(handle_, command.c_str(), onShell); });
    ++shellCommands_;
    std::vector<std::optional<std::string>> answers;
    {
        std::lock_guard lock(seen().mutex);
        answers.assign(seen().shell.begin() + static_cast<std::ptrdiff_t>(before), seen().shell.end());
    }
    if (rc != 0) {
        fail(Inv::Calls, "KvRemoteCmd \"" + command + "\" returned " + code(rc));
    }
    if (answers.size() != 1) {
        fail(Inv::Calls,
             "KvRemoteCmd \"" + command + "\" called back " + std::to_string(answers.size()) + " times");
        return;
    }
    if (rc != 0) {
        return;
    }
    const std::optional<std::string>& a = answers[0];
    const std::size_t echo = a ? a->find(command) : std::string::npos;
    if (!a || echo == std::string::npos || a->find(expected, echo + command.size()) == std::string::npos ||
        !a->ends_with("USB>")) {
        fail(Inv::Calls, "KvRemoteCmd \"" + command + "\": answer not whole: " +
                             (a ? hex(reinterpret_cast<const std::uint8_t*>(a->data()), a->size())
                                : std::string("(none)")));
    }
}

void Soak::infoQuery(int k) {
    // A mark in the record's unused bytes, which every information reply overwrites with zeros:
    // a query that returns 0 has stored its own reply.
    kv::storeRelaxed(rec(k).ShmIfInfo.reserved2[0], std::uint8_t{0xA5});
    const std::uint32_t rc = timed(serviceCall_, "GetVoriKqInfo", [&] { return GetVoriKqInfo(handle_, k); });
    ++infoQueries_;
    if (rc != 0) {
        fail(Inv::Calls, "GetVoriKqInfo(" + std::to_string(k) + ") returned " + code(rc));
    } else if (kv::loadRelaxed(rec(k).ShmIfInfo.reserved2[0]) != 0) {
        fail(Inv::Calls, "GetVoriKqInfo(" + std::to_string(k) + ") returned 0 before its reply was stored");
    }
    char name[64] = {};
    const std::uint32_t n = timed(serviceCall_, "GetVoriKqDevName",
                                  [&] { return GetVoriKqDevName(handle_, k, name, sizeof name); });
    if (n != expectedHostname(k).size() || name != expectedHostname(k)) {
        fail(Inv::Calls, "GetVoriKqDevName(" + std::to_string(k) + ") gave '" + name + "'");
    }
}

void Soak::service() {
    std::mt19937_64 random(seed_ * 2 + 2);
    const auto pick = [&](std::uint64_t n) { return static_cast<int>(random() % n); };
    std::uint64_t n = 0;
    while (!stop_.load()) {
        switch (pick(3)) {
            case 0:
                shellCommand("get_ser_num", kSerial);
                break;
            case 1: {
                // A command of its own each time, so that an answer left over from the one before
                // cannot pass for this one's.
                const std::string word = "soak_" + std::to_string(++n);
                shellCommand(word, "ERROR: unknown command '" + word + "'");
                break;
            }
            default:
                infoQuery(kControllers[static_cast<std::size_t>(pick(kControllers.size()))]);
                break;
        }
        // An operator's pace: a request every few seconds, and now and then a longer break, in
        // which nothing but the transfer cycle uses the port.
        idle(milliseconds{pick(8) == 0 ? 6000 + pick(2000) : 100 + pick(1400)});
    }
    serviceDone_.store(true);
}

// The main thread watches the transfer while the application works.
void Soak::watchUntil(Clock::time_point end) {
    while (Clock::now() < end) {
        ++samples_;
        if (!stoppedAt_ && kv::loadRelaxed(rec(0).TransferStatus.TransferState) != 1) {
            stoppedAt_ = std::chrono::duration_cast<milliseconds>(Clock::now() - started_);
        }
        std::this_thread::sleep_for(milliseconds{5});
    }
}

bool Soak::joinWithin(std::thread& a, std::thread& b, seconds limit) {
    const bool done = kvtest::waitFor([&] { return machineDone_.load() && serviceDone_.load(); }, limit);
    if (!done) {
        // A thread stuck in a call for ever: say which call, with the seed, and end the process,
        // since a thread cannot be joined that never returns.
        for (InCall* in : {&machineCall_, &serviceCall_}) {
            if (const char* name = in->name.load()) {
                const auto since = Clock::time_point(Clock::duration(in->since.load()));
                std::fprintf(stderr, "SOAK FAILED (seed %llu): %s hangs since %lld ms\n",
                             static_cast<unsigned long long>(seed_), name,
                             static_cast<long long>(
                                 std::chrono::duration_cast<milliseconds>(Clock::now() - since).count()));
            }
        }
        keepFiles(true);
        std::fflush(nullptr);
        std::abort();
    }
    a.join();
    b.join();
    return true;
}

bool Soak::settled() {
    checkCommands();
    for (int kind = 0; kind < 2; ++kind) {
        for (const int k : kControllers) {
            for (int i = 0; i < 4; ++i) {
                if (commands_[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)]
                             [static_cast<std::size_t>(i)]
                                 .outstanding) {
                    return false;
                }
            }
        }
    }
    for (const int k : kControllers) {
        if (kv::ackConfigId(k).load() != kv::loadRelaxed(rec(k).State.ConfigId)) {
            return false;
        }
    }
    // The last display message of each controller is on its way or answered.
    if (kv::requestTable().slot(kv::SLOT_MSG_WR).pending.load() != 0) {
        return false;
    }
    std::lock_guard lock(seen().mutex);
    return seen().received.size() >= btSent_.size() && seen().write.size() >= btSent_.size();
}

// Asks the simulator for its report and returns its lines by their first word ("faults",
// "replies", "held 0", ...).
std::map<std::string, std::string> Soak::report() {
    const auto ends = [&] {
        std::ifstream in(sim_->recordPath());
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.ends_with(" report end") ? 1 : 0;
        }
        return n;
    };
    const int before = ends();
    sim_->control("report");
    std::map<std::string, std::string> out;
    if (!kvtest::waitFor([&] { return ends() > before; })) {
        fail(Inv::Transfer, "the simulator wrote no report");
        return out;
    }
    std::ifstream in(sim_->recordPath());
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(" report ");
        if (at == std::string::npos) {
            continue;
        }
        std::istringstream words(line.substr(at + 8));
        std::string key;
        words >> key;
        if (key == "held") {
            std::string k;
            words >> k;
            key += " " + k;
        }
        std::string rest;
        std::getline(words, rest);
        out[key] = rest.empty() ? rest : rest.substr(1);
    }
    return out;
}

std::string field(const std::string& line, const std::string& name) {
    std::istringstream words(line);
    for (std::string w; words >> w;) {
        if (w == name && (words >> w)) {
            return w;
        }
    }
    return {};
}

void Soak::check(const std::map<std::string, std::string>& r) {
    // The transfer runs throughout, unless the controller once stayed silent for the give-up time.
    const std::string silence = field(r.count("replies") != 0 ? r.at("replies") : "", "longest-silence");
    const bool silentTooLong = !silence.empty() && milliseconds{std::stoll(silence)} >= kGiveUp;
    if (stoppedAt_ && !silentTooLong) {
        fail(Inv::Transfer, "the transfer stopped " + std::to_string(stoppedAt_->count()) +
                                " ms into the soak (longest silence " + silence + " ms)");
    }

    for (const int k : kControllers) {
        const std::string key = "held " + std::to_string(k);
        const std::string held = r.count(key) != 0 ? r.at(key) : "";
        const std::uint32_t g = configGen_[static_cast<std::size_t>(k)];
        if (g != 0 && field(held, "config") != heldFor(g)) {
            fail(Inv::Config, "controller " + std::to_string(k) + " holds configuration " +
                                  field(held, "config") + ", the application's last (" + std::to_string(g) +
                                  ") is " + heldFor(g));
        }
        const std::uint8_t id = kv::loadRelaxed(rec(k).State.ConfigId);
        if (kv::ackConfigId(k).load() != id) {
            fail(Inv::Config, "controller " + std::to_string(k) + ": ConfigId " + std::to_string(id) +
                                  " never acknowledged");
        }
        const std::string& text = message_[static_cast<std::size_t>(k)];
        if (!text.empty() && held.find("display '" + text + "'") == std::string::npos) {
            fail(Inv::Messages,
                 "controller " + std::to_string(k) + " shows something else than '" + text + "': " + held);
        }
        for (int kind = 0; kind < 2; ++kind) {
            std::string ids;
            for (int i = 0; i < 4; ++i) {
                const Command& c = commands_[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)]
                                            [static_cast<std::size_t>(i)];
                ids += (i == 0 ? "" : ",") + std::to_string(c.id);
                const char* what = kind == 0 ? "counter reset" : "motor command";
                const std::string where = " " + std::to_string(k) + "/" + std::to_string(i);
                std::vector<std::uint16_t> calls;
                {
                    std::lock_guard lock(seen().mutex);
                    calls = seen().commandIds[static_cast<std::size_t>(kind)][static_cast<std::size_t>(k)]
                                             [static_cast<std::size_t>(i)];
                }
                if (c.outstanding || calls != c.ids) {
                    const auto list = [](const std::vector<std::uint16_t>& v) {
                        std::string out;
                        for (const auto each : v) {
                            out += " " + std::to_string(each);
                        }
                        return v.empty() ? std::string(" none") : out;
                    };
                    fail(Inv::Commands, std::string(what) + where + ": ids asked for" + list(c.ids) +
                                            ", callbacks with ids" + list(calls) +
                                            (c.outstanding ? ", the last never confirmed" : ""));
                }
            }
            if (field(held, kind == 0 ? "resets" : "motors") != ids) {
                fail(Inv::Commands, "controller " + std::to_string(k) + " carried out " +
                                        (kind == 0 ? "resets " : "motors ") +
                                        field(held, kind == 0 ? "resets" : "motors") + ", asked for " + ids);
            }
        }
    }

    std::lock_guard lock(seen().mutex);
    const Seen& s = seen();
    if (s.received != btSent_) {
        std::string missing;
        int listed = 0;
        for (const std::string& m : btSent_) {
            if (std::count(s.received.begin(), s.received.end(), m) != 1 && listed++ < 10) {
                missing += " " + m;
            }
        }
        fail(Inv::Messages, "Bluetooth: " + std::to_string(btSent_.size()) + " messages sent, " +
                                std::to_string(s.received.size()) + " arrived; not arrived exactly once:" +
                                (missing.empty() ? std::string(" none (order differs)") : missing));
    }
    if (s.write.size() != btSent_.size() ||
        std::any_of(s.write.begin(), s.write.end(), [](auto v) { return v != 0; })) {
        fail(Inv::Messages, "Bluetooth: " + std::to_string(btSent_.size()) + " writes, " +
                                std::to_string(s.write.size()) + " write callbacks, not all with status 0");
    }
    for (const auto& [k, state] : s.extState) {
        fail(Inv::Messages, "extension " + std::to_string(k) + " reported " +
                                (state == 0 ? "gone" : "found") + " during the soak");
    }
    for (const std::string& o : s.odd) {
        fail(Inv::Messages, "unexpected callback: " + o);
    }
}

void Soak::print(const std::map<std::string, std::string>& r) {
    const auto line = [&](const char* key) { return r.count(key) != 0 ? r.at(key) : std::string("(none)"); };
    std::uint64_t resets = 0;
    std::uint64_t motors = 0;
    for (const auto& perK : commands_[0]) {
        for (const auto& c : perK) {
            resets += c.asked;
        }
    }
    for (const auto& perK : commands_[1]) {
        for (const auto& c : perK) {
            motors += c.asked;
        }
    }
    std::printf("soak: seed %llu, %lld s, faults %s\n", static_cast<unsigned long long>(seed_),
                static_cast<long long>(duration_.count()), faults_.c_str());
    std::printf("soak: faults injected: %s\n", line("faults").c_str());
    std::printf("soak: exchanges: %s\n", line("replies").c_str());
    std::printf(
        "soak: application: %llu configuration changes, %llu counter resets, %llu motor commands, %llu "
        "display messages, %zu Bluetooth messages, %llu shell commands, %llu information queries\n",
        static_cast<unsigned long long>(configChanges_), static_cast<unsigned long long>(resets),
        static_cast<unsigned long long>(motors), static_cast<unsigned long long>(messages_), btSent_.size(),
        static_cast<unsigned long long>(shellCommands_), static_cast<unsigned long long>(infoQueries_));
    for (const auto& [name, f] : figures_) {
        std::printf("soak: %-20s %6llu calls, longest %lld ms (bound %lld ms)\n", name.c_str(),
                    static_cast<unsigned long long>(f.calls), static_cast<long long>(f.longest.count()),
                    static_cast<long long>(kBounds.at(name).count()));
    }
    for (std::size_t i = 0; i < kInvariants.size(); ++i) {
        const bool held = std::none_of(failures_.begin(), failures_.end(), [&](const Failure& f) {
            return static_cast<std::size_t>(f.inv) == i;
        });
        std::printf("soak: %s: %s\n", held ? "held" : "FAILED", kInvariants[i]);
        for (const Failure& f : failures_) {
            if (static_cast<std::size_t>(f.inv) != i) {
                continue;
            }
            if (f.times == 1) {
                std::printf("soak:     %s\n", f.text.c_str());
            } else {
                std::printf("soak:     %s (%llu times)\n", f.text.c_str(),
                            static_cast<unsigned long long>(f.times));
            }
        }
    }
    if (!failures_.empty()) {
        std::printf("soak: FAILED with seed %llu; replay its faults with KVLIB_SOAK_SEED=%llu\n",
                    static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(seed_));
    }
    std::fflush(stdout);
}

void Soak::keepFiles(bool failed) {
    std::string dir = envText("KVLIB_SOAK_KEEP", "");
    if (dir.empty() && !failed) {
        return;
    }
    if (dir.empty()) {
        dir = (std::filesystem::temp_directory_path() / ("kvlib-soak-" + std::to_string(seed_))).string();
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::copy_file(kv::LogFilePath(), std::filesystem::path(dir) / "kvlib.log",
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (sim_) {
        std::filesystem::copy_file(sim_->recordPath(), std::filesystem::path(dir) / "kqsim.record",
                                   std::filesystem::copy_options::overwrite_existing, ec);
    }
    std::printf("soak: the library log and the simulator's record are in %s\n", dir.c_str());
}

// The library up, the controller open and the transfer started; false, with the failure noted,
// when a step does not get through.
bool Soak::begin() {
    if (const std::uint32_t rc = kvxInitLib(); rc != 0) {
        fail(Inv::Transfer, "kvxInitLib returned " + code(rc));
        return false;
    }
    SetCBCounterResetted(onCounterResetted);
    SetCBMotorExReached(onMotorExReached);
    std::uint32_t rc = 0xFFFFFFFF;
    handle_ = kvxOpenComDevice(sim_->port().c_str(), 38400, &rc);
    if (rc != 0) {
        fail(Inv::Transfer, "kvxOpenComDevice returned " + code(rc));
        return false;
    }
    gArea.store(GetIF08TransferAddress(handle_));
    rc = timed(machineCall_, "kvxStartTransferArea", [&] { return kvxStartTransferArea(handle_); });
    if (rc != 0) {
        fail(Inv::Transfer, "kvxStartTransferArea returned " + code(rc));
        return false;
    }
    // Registered once the start is through: an extension found from here on is news.
    SetCBVoriExtState(onExtState);
    return true;
}

void Soak::run() {
    sim_ = std::make_unique<kvtest::Controller>(std::vector<std::string>{
        "--extensions", "2,5", "--bt-loopback", "2:5", "--cmd-delay", "100", "--serial", kSerial,
        "--random-faults", faults_, "--seed", std::to_string(seed_)});
    if (begin()) {
        started_ = Clock::now();
        btReady_ = setUpBluetooth();
        std::thread machineThread([this] { machine(); });
        std::thread serviceThread([this] { service(); });
        watchUntil(started_ + duration_);
        stop_.store(true);
        // The longest a call may take, with room; a thread not back by then hangs.
        joinWithin(machineThread, serviceThread, seconds{60});

        // What was asked for before the application stopped must still arrive.
        kvtest::waitFor(
            [&] { return settled() || kv::loadRelaxed(rec(0).TransferStatus.TransferState) != 1; }, kSettle);
        if (!stoppedAt_ && kv::loadRelaxed(rec(0).TransferStatus.TransferState) != 1) {
            stoppedAt_ = std::chrono::duration_cast<milliseconds>(Clock::now() - started_);
        }
    }
    const auto r = report();
    if (gArea.load() != nullptr) {
        check(r);
    }
    print(r);
    keepFiles(!failures_.empty());

    SetCBVoriExtState(nullptr);
    SetCBCounterResetted(nullptr);
    SetCBMotorExReached(nullptr);
    kvxStopTransferArea();
    kvxCloseDevice(handle_);
    gArea.store(nullptr);
    kvxCloseLib();
    for (const Failure& f : failures_) {
        ADD_FAILURE() << f.text << (f.times > 1 ? " (" + std::to_string(f.times) + " times)" : "")
                      << " (seed " << seed_ << ")";
    }
}

TEST(FaultSoak, TheExchangeSurvivesRandomFaults) {
    const std::uint64_t seed = envNumber("KVLIB_SOAK_SEED", std::random_device{}());
    const seconds duration{envNumber("KVLIB_SOAK_SECONDS", 60)};
    Soak soak(seed, duration, envText("KVLIB_SOAK_FAULTS", kDefaultFaults));
    soak.run();
}

}  // namespace
