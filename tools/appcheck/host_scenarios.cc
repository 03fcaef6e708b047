// The scenarios with real hosts on the application's socket: a connection
// with no replay, a message of exactly 1 MiB, hosts side by side, a second
// "hello", the application writing while it is written to, and a host that
// stops reading beside one that does not.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ostrel/app.h"
#include "own_connection.h"
#include "payload_text.h"
#include "scenarios.h"

namespace ostrel::appcheck {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kFocus = R"({"type":"focus","from":"ostrel-app-check"})";
constexpr milliseconds kHostRetry{2500};
constexpr std::size_t kKiB = 1024;

// The requests the connection that never reads sends: about 2 MiB of them,
// far more answers than any socket buffer holds.
constexpr std::size_t kRequestBytes = kKiB * 1024 * 2;
constexpr std::size_t kMostRequests = 100000;
// The application is taken to have stopped reading that connection when
// it has taken nothing of it for this long.
constexpr milliseconds kStillness{500};

std::string scenarioMessage(const std::string& name) {
  return R"({"type":"ostrel-app-check","scenario":")" + name + R"("})";
}

std::string shown(const Bytes& payload) { return standins::describePayload(payload, 120); }

// How `back` differs from `sent`, in words.
std::string difference(const std::string& sent, const Bytes& back) {
  const std::string_view text = common::asText(back);
  if (text.size() < sent.size() && sent.starts_with(text)) {
    return "the application sent back only the first " + std::to_string(text.size()) + " of the " +
           std::to_string(sent.size()) + " bytes: it cuts a message longer than " +
           std::to_string(text.size()) +
           " bytes (a buffer of 1 MiB that holds the 4-byte length too?): take payloads of up to " +
           std::to_string(sent.size()) + " bytes whole";
  }
  std::size_t same = 0;
  while (same < text.size() && same < sent.size() && text[same] == sent[same]) ++same;
  return "the application sent back " + std::to_string(text.size()) +
         " bytes that differ from the " + std::to_string(sent.size()) + " sent from byte " +
         std::to_string(same) + " on: keep a message's bytes as they came";
}

}  // namespace

Outcome AppChecker::needsWholeAnswers(const std::string& name) const {
  return {name, Verdict::kSkip,
          "needs the answers to " + options_.request.value_or("--request") +
              " to come back whole, which writes-first did not see"};
}

// The host starts while nothing is at the path it has; the path then leads
// to the application, and a browser message makes the connection.
Outcome AppChecker::noReplay() {
  const std::string name = "no-replay";
  const std::string link = scratch_.file("late.sock");
  std::string why;
  Host host = startHost(link, why);
  if (!host || !awaitReport(*host, 0, "unavailable", options_.timeout, why)) {
    return fail(name, "while setting up: " + why);
  }
  if (::symlink(absolutePath_.c_str(), link.c_str()) != 0) {
    return fail(name, std::string("cannot link to the socket: ") + std::strerror(errno));
  }
  host->sendFrame(scenarioMessage(name));
  if (!awaitReport(*host, 1, "connected", options_.timeout + kHostRetry, why) ||
      !keptAndRead(*host, 1, {}, why) || !endHost(host, 1, why)) {
    return fail(name, "on a connection whose first message was " + scenarioMessage(name) +
                          ", not \"hello\": " + why +
                          ": serve a connection whatever its first message (one that a browser "
                          "message opens carries that message alone), and never wait for "
                          "\"hello\"");
  }
  return {name, Verdict::kPass,
          "a connection whose first message was not \"hello\" was kept and read; " +
              cameBack({host.get()})};
}

// A message of exactly 1 MiB, read whole; with --echo it must come back
// byte for byte, which shows what the application kept of it.
Outcome AppChecker::largeMessage() {
  const std::string name = "1mib";
  std::string why;
  Host host = connectedHost(why);
  if (!host) return fail(name, why);
  const std::string message =
      messageOfSize(options_.echo.value_or("ostrel-app-check"), "1mib", OSTREL_APP_MAX_PAYLOAD);
  const std::string after = "after \"hello\" and a message of exactly 1048576 bytes: ";
  std::string kept;
  if (options_.echo) {
    host->send(concat({helloFrame_, common::frameOf(message)}));
    const std::optional<Bytes> echoed = awaitFrame(*host, message.substr(0, 40));
    if (!echoed && host->droppedAfter(0)) {
      return fail(name, after +
                            "the application closed the connection (the host reported "
                            "\"unavailable\"): a message of exactly 1 MiB is allowed; refuse only "
                            "a longer one");
    }
    if (!echoed) {
      return fail(name, "the message of exactly 1048576 bytes of type \"" + *options_.echo +
                            "\" did not come back within " + seconds() +
                            " (--echo: the application sends such a message back unchanged)");
    }
    if (common::asText(*echoed) != message) return fail(name, difference(message, *echoed));
    kept = ", and came back unchanged";
  }
  const Bytes lead = options_.echo ? Bytes{} : concat({helloFrame_, common::frameOf(message)});
  if (!keptAndRead(*host, 0, lead, why) || !endHost(host, 0, why)) {
    return fail(name,
                after + why + ": a message of exactly 1 MiB is allowed; refuse only a longer one");
  }
  if (!options_.echo) {
    kept =
        "; whether the application kept every byte of it cannot be seen from here (give "
        "--echo TYPE, a type of message it sends back unchanged, to see)";
  }
  return {name, Verdict::kPass,
          "a message of exactly 1048576 bytes was read whole, the connection kept" + kept + "; " +
              cameBack({host.get()})};
}

// Two hosts at once, the second with the same "hello" as the first (two
// ports of one extension): both served, neither closed for the other.
Outcome AppChecker::sideBySide() {
  const std::string name = "side-by-side";
  std::string why;
  Host first = connectedHost(why);
  if (!first) return fail(name, "the first host: " + why);
  if (!keptAndRead(*first, 0, helloFrame_, why)) return fail(name, "the first host: " + why);
  Host second = connectedHost(why);
  if (!second) return fail(name, "the second host, while the first was connected: " + why);
  if (!keptAndRead(*second, 0, helloFrame_, why)) {
    return fail(name, "the second host, while the first was connected: " + why +
                          ": serve every connection side by side (an event loop, or a thread per "
                          "connection); a browser starts a host per port");
  }
  if (first->droppedAfter(0)) {
    return fail(name,
                "the first host's connection was closed (it reported \"unavailable\") when a "
                "second host sent the same \"hello\": two hosts may send the same \"hello\" (two "
                "ports of one extension, or two profiles); keep each connection's state its own, "
                "and close none for another's \"hello\"");
  }
  if (!keptAndRead(*first, 0, {}, why)) {
    return fail(name, "the first host, while the second was connected: " + why);
  }
  if (!endHost(first, 0, why) || !endHost(second, 0, why)) return fail(name, why);
  return {name, Verdict::kPass,
          "two hosts connected at once with the same \"hello\" were both served, each while the "
          "other waited; " +
              cameBack({first.get(), second.get()})};
}

// A second "hello" on one connection (as a host replays it) is the same
// state again, not a new session: with --request and --echo, the answer to
// the request must not change with it.
Outcome AppChecker::twoHellos() {
  const std::string name = "two-hellos";
  if (!answersWhole_) return needsWholeAnswers(name);
  std::string why;
  Host host = connectedHost(why);
  if (!host) return fail(name, why);
  const Bytes focus = common::frameOf(kFocus);
  std::string compared = "; give --request and --echo to compare the answers before and after it";
  if (options_.request && options_.echo) {
    const Bytes request = common::frameOf(*options_.request);
    const std::optional<Bytes> first =
        answerBefore(*host, concat({helloFrame_, focus, request}), "1");
    const std::optional<Bytes> again = first ? answerBefore(*host, request, "2") : std::nullopt;
    const std::optional<Bytes> after =
        again ? answerBefore(*host, concat({helloFrame_, request}), "3") : std::nullopt;
    if (!after) {
      return fail(name, host->droppedAfter(0)
                            ? "the application closed the connection (the host reported "
                              "\"unavailable\") on \"hello\", \"focus\", a second \"hello\" and "
                              "--request"
                            : "a message of type \"" + *options_.echo +
                                  "\" did not come back within " + seconds() +
                                  " (--echo: the application sends it back unchanged)");
    }
    if (*first != *again) {
      compared = "; its answers to " + *options_.request +
                 " differ from one to the next, so what a second \"hello\" changes cannot be seen";
    } else if (*again != *after) {
      return fail(name,
                  "after a second \"hello\" on the same connection, the application answered " +
                      *options_.request + " otherwise: before it " + shown(*again) + ", after it " +
                      shown(*after) +
                      ": take every \"hello\" as the current state of its connection, "
                      "whenever it comes (a host replays it first on every connection it "
                      "makes), keep what \"focus\" or \"blur\" set, and start no new session "
                      "on it");
    } else {
      compared = ", and " + *options_.request +
                 " was answered alike before and after it: " + shown(*after);
    }
  } else {
    host->send(concat({helloFrame_, focus}));
  }
  if (!keptAndRead(*host, 0, helloFrame_, why) || !endHost(host, 0, why)) {
    return fail(name, "after a second \"hello\" on the same connection: " + why);
  }
  return {name, Verdict::kPass,
          "a second \"hello\" on the same connection was taken in its stride, the connection kept "
          "and read" +
              compared};
}

Outcome AppChecker::writesFirst() {
  const std::string name = "writes-first";
  std::string why;
  Host host = connectedHost(why);
  if (!host) return fail(name, why);
  const Bytes request = options_.request ? common::frameOf(*options_.request) : Bytes{};
  const Bytes lead =
      concat({helloFrame_, request,
              common::frameOf(messageOfSize("ostrel-app-check", "data", 512 * kKiB))});
  if (!keptAndRead(*host, 0, lead, why)) {
    return fail(name, "while the host wrote 512 KiB after --request: " + why);
  }
  if (options_.request &&
      !waitFor([&] { return host->appFrames() > 0 || host->droppedAfter(0); }, options_.timeout)) {
    answersWhole_ = false;
    return fail(name, "no answer to " + *options_.request + " came back whole within " + seconds() +
                          " (an answer cut short never ends): write each frame whole, going on "
                          "after a partial write, while you go on reading");
  }
  if (!endHost(host, 0, why)) return fail(name, why);
  if (!options_.request) {
    return {name, Verdict::kPass,
            "the application read 512 KiB and more; give --request MESSAGE to have it write "
            "meanwhile; " +
                cameBack({host.get()})};
  }
  return {name, Verdict::kPass,
          "the application answered while the host wrote 512 KiB and more, and read it all; " +
              cameBack({host.get()})};
}

// A connection of the checker's own sends request after request and reads
// none of the answers, as a host whose browser stopped reading; meanwhile
// a host beside it must be answered.
Outcome AppChecker::stalledHost() {
  const std::string name = "stalled-host";
  if (!options_.request) {
    return {name, Verdict::kSkip,
            "give --request MESSAGE (one the application answers) to check that a host that "
            "stops reading holds up no other"};
  }
  if (!answersWhole_) return needsWholeAnswers(name);
  std::string why;
  Host host = connectedHost(why);
  if (!host || !keptAndRead(*host, 0, helloFrame_, why)) return fail(name, "the host: " + why);
  OwnConnection reader(loop_, options_.socketPath);
  if (!reader.connected()) return fail(name, reader.connectError());
  reader.stopReading();
  const Bytes request = common::frameOf(*options_.request);
  const std::size_t count = std::min(kMostRequests, kRequestBytes / request.size());
  for (std::size_t i = 0; i < count; ++i) reader.send(request);
  // Until the application takes all of it, or stops taking it.
  std::size_t taken = 0;
  auto moved = std::chrono::steady_clock::now();
  waitFor(
      [&] {
        const auto now = std::chrono::steady_clock::now();
        if (reader.taken() != taken) taken = reader.taken(), moved = now;
        return reader.allTaken() || reader.ended() || now - moved > kStillness;
      },
      options_.timeout);
  const std::string took = reader.allTaken()
                               ? "took all " + std::to_string(count) + " of its requests"
                               : "took " + amount(reader.taken()) + " of its " +
                                     amount(reader.queuedBytes()) + " of requests, then no more";
  const std::size_t before = host->appFrames();
  host->sendFrame(*options_.request);
  const bool answered = waitFor([&] { return host->appFrames() > before || host->droppedAfter(0); },
                                options_.timeout);
  // Read again, so that an application held up by it can take the rest of
  // a frame written in part.
  reader.resumeReading();
  reader.closeBetweenFrames(options_.timeout);
  if (host->droppedAfter(0)) {
    return fail(name,
                "the application closed this host's connection (it reported "
                "\"unavailable\") while another connection did not read");
  }
  if (!answered) {
    return fail(name,
                "while another connection read nothing the application wrote to it (the "
                "application " +
                    took + "), this host's " + *options_.request + " was not answered within " +
                    seconds() +
                    ": the writes to the connection that does not read hold up the others; "
                    "write without blocking (an event loop with non-blocking sockets, or a "
                    "thread per connection) and bound what you queue for a connection that "
                    "does not read");
  }
  if (!keptAndRead(*host, 0, {}, why) || !endHost(host, 0, why)) return fail(name, why);
  return {name, Verdict::kPass,
          "while another connection asked " + std::to_string(count) +
              " times and read nothing (the application " + took +
              "), this host was answered and read; " + cameBack({host.get()})};
}

}  // namespace ostrel::appcheck
