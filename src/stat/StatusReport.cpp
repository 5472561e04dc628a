#include "stat/StatusReport.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sync/StatusKeys.h"
#include "time/Calendar.h"
#include "time/ClockBackend.h"

namespace {

constexpr size_t kMaxKeyLength = 64;

const std::string kNothing;

// A key the daemon writes as a number; any other is text.
bool IsNumericKey(const std::string& key) {
    StatusKey known;
    return FindStatusKey(key.c_str(), known) && StatusKeyOf(known).number;
}

// Decimal numbers as the daemon writes them, and nothing else: each is then also a JSON number.
bool IsNumber(const std::string& text) {
    if (text.empty()) return false;
    size_t at = text[0] == '-' ? 1 : 0;
    const size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    // JSON allows no leading zero ("007").
    if (at == digits || (text[digits] == '0' && at > digits + 1)) return false;
    if (at < text.size() && text[at] == '.') {
        const size_t fraction = ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == fraction) return false;
    }
    return at == text.size() && at <= 40;
}

bool IsKey(const std::string& key) {
    if (key.empty() || key.size() > kMaxKeyLength) return false;
    for (const char c : key)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printf-style on purpose: the compiler checks every format against its arguments.
// As long as the text is: a row of 64 subnets is longer than any fixed buffer would be kept to.
std::string Format(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    const int n = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text;
    if (n > 0) {
        text.resize(static_cast<size_t>(n) + 1);
        (void)std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

long long Age(double now, double then) {
    const double age = now - then;
    return age > 9e15 || age < -9e15 ? 0 : static_cast<long long>(age);
}

// "insert at the end of 2026-12-31 UTC"; with the announcements ignored and the corrections that left a
// leap alone.
std::string LeapLine(const StatusFileContent& c) {
    std::string line = "none pending";
    CalendarTime day{};
    const double at = c.Number("leap_at");
    if (c.Text("leap") != "none" && at > 0 && at < 1e12 && BreakDownUtc(static_cast<int64_t>(at) - 1, day))
        line = Format("%s at the end of %04d-%02d-%02d UTC", c.Text("leap").c_str(), day.year, day.month,
                      day.day);
    if (c.Number("leaps_ignored") != 0)
        line += "; " + c.Text("leaps_ignored") + " announcements ignored (not on 30 June or 31 December)";
    if (c.Number("leaps_discounted") != 0)
        line += "; " + c.Text("leaps_discounted") + " corrections left the leap second alone";
    return line;
}

void JsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            // Bytes beyond ASCII are taken as Latin-1: the object stays valid JSON whatever the file holds.
            out += Format("\\u%04x", u);
        } else {
            out += c;
        }
    }
    out += '"';
}

// Milliseconds from the file as seconds, to the microsecond the file keeps, without trailing zeros.
std::string Seconds(double ms) {
    std::string text = Format("%.6f", ms / 1000.0);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

// Counters the file may hold, each an OpenMetrics counter zelkor_KEY, sampled as zelkor_KEY_total.
struct CounterInfo {
    const char* key;
    const char* help;
};
constexpr CounterInfo kCounters[] = {
    {"broadcasts_accepted", "Broadcasts acted on."},
    {"broadcasts_ignored", "Broadcasts only logged."},
    {"broadcasts_refused", "Broadcasts from senders not in Servers."},
    {"broadcasts_unconfirmed", "Broadcasts that came before their sender answered a signed poll."},
    {"broadcasts_sent", "Broadcasts sent in server mode."},
    {"requests_answered", "Client requests answered."},
    {"requests_dropped",
     "Client requests left unanswered: too short, sent to a broadcast address, or our own signed poll sent "
     "back."},
    {"requests_limited", "Client requests dropped by RateLimit."},
    {"replies_accepted", "Replies that gave a delay."},
    {"replies_refused", "Replies refused: unasked for or implausible."},
    {"auth_refused", "Broadcasts and replies refused for want of a valid MAC under a trusted key."},
    {"steps", "Steps of the clock."},
    {"failed_steps", "Steps the clock refused."},
    {"slews", "Slews of the clock."},
    {"steps_refused", "Corrections refused as beyond MaxStep."},
    {"rate_changes_failed", "Changes of the clock rate the clock refused."},
    {"rates_held", "Rates held at the 500 ppm bound."},
    {"receive_failures", "Receives that failed."},
    {"send_failures", "Sends that failed."},
    {"leaps_ignored", "Leap seconds announced for a day other than 30 June or 31 December."},
    {"leaps_discounted", "Corrections that left alone the leap second just made."},
};

// An OpenMetrics label value. The file's text is the daemon's ASCII; anything else becomes "?", since the
// format is UTF-8 and a malformed file need not be.
std::string Label(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return out + '"';
}

}  // namespace

const std::string& StatusFileContent::Text(const char* key) const {
    for (const auto& [k, v] : entries)
        if (k == key) return v;
    return kNothing;
}

double StatusFileContent::Number(const char* key) const {
    return std::strtod(Text(key).c_str(), nullptr);
}

bool ParseStatusFile(const std::string& text, StatusFileContent& content, std::string& problem) {
    content.entries.clear();
    if (text.compare(0, 10, "version=1\n") != 0) {
        problem = "its first line is not version=1";
        return false;
    }
    size_t line = 0;
    std::set<std::string> seen;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            problem = "it ends in the middle of a line";
            return false;
        }
        ++line;
        const std::string entry = text.substr(at, end - at);
        at = end + 1;
        const size_t equals = entry.find('=');
        const std::string key = entry.substr(0, equals);
        if (equals == std::string::npos || !IsKey(key)) {
            problem = Format("line %llu is no key=value line", static_cast<unsigned long long>(line));
            return false;
        }
        std::string value = entry.substr(equals + 1);
        if (IsNumericKey(key) && !IsNumber(value)) {
            problem = Format("%s is not a number", key.c_str());
            return false;
        }
        // One value per key, and none of the keys zelkorstat adds: the JSON object must be unambiguous.
        if (key == "verdict" || key == "exit_status" || !seen.insert(key).second) {
            problem = Format("%s appears twice or is reserved", key.c_str());
            return false;
        }
        content.entries.emplace_back(key, std::move(value));
    }
    for (int k = 0; k < kStatusKeyCount; ++k) {
        const StatusKeyInfo& key = StatusKeyOf(static_cast<StatusKey>(k));
        if (key.promised && seen.count(key.name) == 0) {
            problem = Format("it has no %s", key.name);
            return false;
        }
    }
    return true;
}

Verdict Judge(const StatusFileContent& c, double now, bool running) {
    // A failure ends the service: its reason outlives the process.
    if (!c.Text("failure").empty()) return {kStatusNotRunning, "Zelkor: failed: " + c.Text("failure")};
    if (!running)
        return {kStatusNotRunning,
                Format("Zelkor: not running (process %s has ended)", c.Text("pid").c_str())};
    if (c.Text("mode") == "server") {
        if (c.Number("broadcasts_sent") == 0)
            return {kStatusNotSynchronised, "Zelkor: not broadcasting: no broadcast sent yet"};
        const double last = c.Number("last_broadcast_sent");
        if (now - last > kBroadcastingSeconds)
            return {kStatusNotSynchronised,
                    Format("Zelkor: not broadcasting: the last broadcast left %lld s ago", Age(now, last))};
        return {kStatusOk, "Zelkor: broadcasting (server mode)"};
    }
    if (c.Text("allowed_servers") == "none")
        return {kStatusNotSynchronised,
                "Zelkor: not synchronised: Servers names no usable address, so every broadcast is refused"};
    if (c.Text("auth") == "none")
        return {kStatusNotSynchronised,
                "Zelkor: not synchronised: TrustedKeys names no usable key, so every broadcast is refused"};
    // A refused step stays a warning for as long as a silent server would: long enough to be seen.
    const double refused = c.Number("last_refused_step");
    if (refused != 0 && now - refused <= kSynchronisedSeconds)
        return {
            kStatusNotSynchronised,
            Format(
                "Zelkor: not synchronised: a step of %.3f s from %s was refused %lld s ago (MaxStep is %s s)",
                c.Number("last_refused_step_ms") / 1000.0, c.Text("last_refused_step_sender").c_str(),
                Age(now, refused), c.Text("max_step").c_str())};
    const double last = c.Number("last_broadcast");
    if (last == 0) return {kStatusNotSynchronised, "Zelkor: not synchronised: no broadcast accepted yet"};
    if (c.Text("last_action") == "failed-step")
        return {kStatusNotSynchronised, "Zelkor: not synchronised: the last step failed"};
    if (now - last > kSynchronisedSeconds)
        return {kStatusNotSynchronised, Format("Zelkor: not synchronised: %s silent for %lld s",
                                               c.Text("server").c_str(), Age(now, last))};
    return {kStatusOk, "Zelkor: synchronised to " + c.Text("server")};
}

bool UsableThresholds(const OffsetThresholds& t) {
    for (const std::string* given : {&t.warn, &t.crit})
        if (!given->empty() && (!IsNumber(*given) || (*given)[0] == '-')) return false;
    return t.warn.empty() || t.crit.empty() ||
           std::strtod(t.warn.c_str(), nullptr) <= std::strtod(t.crit.c_str(), nullptr);
}

Verdict JudgeOffset(const StatusFileContent& c, const Verdict& verdict, const OffsetThresholds& t) {
    // Only a synchronised client has an offset worth judging: a silent server's last one is stale.
    if (verdict.exitStatus != kStatusOk || c.Text("mode") == "server") return verdict;
    const double offset = std::fabs(c.Number("last_delta_ms")) / 1000.0;
    const auto beyond = [&](const std::string& limit, int status, const char* what) {
        return Verdict{status, verdict.line + ", offset " + Seconds(c.Number("last_delta_ms")) +
                                   " s beyond " + limit + " s (" + what + ")"};
    };
    // The plugins' 2 and 1: critical and warning.
    if (!t.crit.empty() && offset > std::strtod(t.crit.c_str(), nullptr))
        return beyond(t.crit, kStatusNotRunning, "critical");
    if (!t.warn.empty() && offset > std::strtod(t.warn.c_str(), nullptr))
        return beyond(t.warn, kStatusNotSynchronised, "warning");
    return verdict;
}

std::string PerformanceData(const StatusFileContent& c, const OffsetThresholds& t) {
    std::string out;
    const auto counter = [&](const char* key) {
        if (c.Text(key).empty()) return;  // a file older than the counter
        if (!out.empty()) out += ' ';
        out.append(key).append("=").append(c.Text(key)).append("c");
    };
    if (c.Text("mode") == "server") {
        for (const char* key : {"broadcasts_sent", "requests_answered"}) counter(key);
        return out;
    }
    // "U": a value not known, in the plugin guidelines' words; trailing empty thresholds are left out.
    out.append("offset=")
        .append(c.Number("last_broadcast") == 0 ? "U" : Seconds(c.Number("last_delta_ms")) + "s")
        .append(";")
        .append(t.warn)
        .append(";")
        .append(t.crit);
    while (out.back() == ';') out.pop_back();
    out.append(" delay=")
        .append(c.Text("delay_source") == "none" ? "U" : Seconds(c.Number("delay_ms")) + "s")
        .append(" stratum=")
        .append(c.Text("stratum"));
    for (const char* key : {"broadcasts_accepted", "broadcasts_refused", "auth_refused", "steps_refused",
                            "steps", "failed_steps", "slews", "requests_answered"})
        counter(key);
    return out;
}

std::string RenderText(const StatusFileContent* content, const Verdict& verdict, double now,
                       const OffsetThresholds* nagios) {
    std::string out = verdict.line;
    if (content != nullptr && nagios != nullptr) out += " | " + PerformanceData(*content, *nagios);
    out += "\n";
    if (content == nullptr) return out;
    const StatusFileContent& c = *content;
    const auto row = [&out](const char* label, const std::string& value) {
        out += Format("%-16s: %s\n", label, value.c_str());
    };
    const auto count = [&c](const char* key) { return c.Text(key).empty() ? std::string("0") : c.Text(key); };
    row("Mode", c.Text("mode") + " (" + c.Text("state") + ")");
    if (!c.Text("failure").empty()) row("Failure", c.Text("failure"));
    if (c.Text("mode") == "server") {
        row("Broadcasts sent",
            c.Number("broadcasts_sent") == 0
                ? std::string("none yet")
                : count("broadcasts_sent") +
                      Format(", the last %lld s ago", Age(now, c.Number("last_broadcast_sent"))));
        if (c.Number("broadcast_key") != 0) row("Signed", "with key " + c.Text("broadcast_key"));
    } else {
        if (c.Text("server").empty()) {
            row("Server", "none yet");
        } else {
            row("Server", c.Text("server") + ", stratum " + c.Text("stratum") +
                              Format(", followed for %lld s", Age(now, c.Number("server_since"))));
            row("Last correction", c.Text("last_delta_ms") + " ms (" + c.Text("last_action") +
                                       Format("), %lld s ago", Age(now, c.Number("last_broadcast"))));
        }
        row("Delay", c.Text("delay_source") == "none"
                         ? std::string("not known")
                         : c.Text("delay_ms") + " ms (" + c.Text("delay_source") + ")");
        if (c.Text("discipline") == "precise") {
            // The fitted frequency at full resolution, and how well the broadcasts lie on the line.
            row("Discipline", "precise (arrivals by " + c.Text("receive_stamps") + " stamps)");
            row("Frequency", Format("%+.4f ppm", c.Number("frequency_ppm")));
            row("Fit", c.Number("fit_samples") == 0
                           ? std::string("not yet (two broadcasts at least)")
                           : Format("spread %.3f us over %.0f broadcasts", c.Number("fit_spread_us"),
                                    c.Number("fit_samples")));
            if (c.Text("delay_source") == "measured")
                row("Delay measured", Format("%lld s ago", Age(now, c.Number("delay_updated"))));
        } else {
            row("Adjustment", count("adjustment") + " (increment " + count("increment") + ", best guess " +
                                  count("best_guess") + ")");
            if (c.Number("increment") > 0)
                row("Rate",
                    Format("%+.1f ppm", (c.Number("adjustment") / c.Number("increment") - 1.0) * 1e6));
        }
        if (!c.Text("kernel_sync").empty()) {
            const std::string kernel =
                c.Text("kernel_sync") == "off" ? "not told, RtcSync off" : c.Text("kernel_sync");
            row("Error bound", (c.Number("max_error_ms") == 0 ? std::string("none yet")
                                                              : c.Text("max_error_ms") + " ms, estimated " +
                                                                    c.Text("est_error_ms") + " ms") +
                                   " (kernel: " + kernel + ")");
            row("Leap second", LeapLine(c));
        }
        row("Requests", count("requests_answered") + " answered");
        const std::string& allowed = c.Text("allowed_servers");
        const bool restricted = !allowed.empty() && allowed != "any";
        if (restricted) row("Allowed servers", allowed);
        std::string broadcasts =
            count("broadcasts_accepted") + " accepted, " + count("broadcasts_ignored") + " ignored";
        if (restricted || c.Number("broadcasts_refused") != 0) {
            broadcasts += ", " + count("broadcasts_refused") + " refused";
            if (!c.Text("last_refused_sender").empty())
                broadcasts += " (the last from " + c.Text("last_refused_sender") + ")";
        }
        row("Broadcasts", broadcasts);
        row("Replies", count("replies_accepted") + " accepted, " + count("replies_refused") + " refused");
        const std::string& auth = c.Text("auth");
        if (!auth.empty() && auth != "off") {
            std::string line = "keys " + auth + "; " + count("auth_refused") + " refused";
            if (!c.Text("last_auth_refused").empty())
                line += " (the last: " + c.Text("last_auth_refused") + " from " +
                        c.Text("last_auth_refused_sender") + ")";
            row("Authentication", line);
        }
        row("Corrections", count("steps") + " steps, " + count("failed_steps") + " failed steps, " +
                               count("slews") + " slews");
        if (c.Number("max_step") != 0 || c.Number("steps_refused") != 0) {
            std::string steps = count("steps_refused") + " refused (MaxStep " + count("max_step") + " s)";
            if (c.Number("last_refused_step") != 0)
                steps += Format(
                    ", the last %.3f s from %s, %lld s ago", c.Number("last_refused_step_ms") / 1000.0,
                    c.Text("last_refused_step_sender").c_str(), Age(now, c.Number("last_refused_step")));
            row("Large steps", steps);
        }
    }
    row("Failures", count("receive_failures") + " receive, " + count("send_failures") + " send");
    row("Updated", Format("%lld s ago by process ", Age(now, c.Number("updated"))) + c.Text("pid"));
    return out;
}

std::string RenderJson(const StatusFileContent* content, const Verdict& verdict) {
    std::string out = "{";
    if (content != nullptr) {
        for (const auto& [key, value] : content->entries) {
            JsonString(out, key);
            out += ':';
            if (IsNumericKey(key))
                out += value;
            else
                JsonString(out, value);
            out += ',';
        }
    }
    out += "\"verdict\":";
    JsonString(out, verdict.line);
    out += Format(",\"exit_status\":%d}\n", verdict.exitStatus);
    return out;
}

std::string RenderOpenMetrics(const StatusFileContent* content, const Verdict& verdict, bool running,
                              double now) {
    std::string out;
    const auto family = [&out](const std::string& name, const char* type, const char* help) {
        out += "# TYPE " + name + " " + type + "\n# HELP " + name + " " + help + "\n";
    };
    const auto gauge = [&](const char* name, const char* help, const std::string& value) {
        family(name, "gauge", help);
        out += std::string(name) + " " + value + "\n";
    };
    const bool up = content != nullptr && running && content->Text("failure").empty();
    gauge("zelkor_up", "Whether Zelkor runs and its worker has not failed.", up ? "1" : "0");
    gauge("zelkor_status",
          "The verdict as zelkorstat exits: 0 synchronised, 1 not, 2 not running or failed, "
          "3 unknown.",
          Format("%d", verdict.exitStatus));
    if (content == nullptr) return out + "# EOF\n";
    const StatusFileContent& c = *content;
    // A gauge of 1, as node_exporter's own *_info: its textfile collector reads the Prometheus text format,
    // which has no info type.
    family("zelkor_info", "gauge", "Mode, state and followed server.");
    out += "zelkor_info{mode=" + Label(c.Text("mode")) + ",state=" + Label(c.Text("state")) +
           ",server=" + Label(c.Text("server")) + "} 1\n";
    gauge("zelkor_tracking_stratum", "Stratum of the followed server (0: none).", c.Text("stratum"));
    const double last = c.Number("last_broadcast");
    if (last != 0) {
        gauge("zelkor_tracking_last_offset_seconds",
              "Error of the last accepted broadcast, the delay included; positive: the clock was behind.",
              Seconds(c.Number("last_delta_ms")));
        gauge("zelkor_tracking_reference_age_seconds", "Time since the last accepted broadcast.",
              Format("%.3f", now - last));
    }
    if (c.Text("delay_source") != "none")
        gauge("zelkor_tracking_delay_seconds", "One-way delay from the server in use.",
              Seconds(c.Number("delay_ms")));
    const bool precise = c.Text("discipline") == "precise";
    if (precise || c.Number("increment") > 0)
        gauge("zelkor_tracking_frequency_ppms", "Rate of the clock against its nominal rate, in ppm.",
              precise ? Format("%.4f", c.Number("frequency_ppm"))
                      : Format("%.3f", (c.Number("adjustment") - c.Number("increment")) /
                                           c.Number("increment") * 1e6));
    if (precise && c.Number("fit_samples") > 0)
        gauge("zelkor_tracking_fit_spread_seconds",
              "Spread of the broadcasts about the fitted line (PreciseTime).",
              Format("%.9f", c.Number("fit_spread_us") / 1e6));
    if (!c.Text("kernel_sync").empty())
        gauge("zelkor_kernel_synchronised", "Whether the kernel is told the clock is synchronised (RtcSync).",
              c.Text("kernel_sync") == "synchronised" ? "1" : "0");
    if (!c.Text("datagrams_mode0").empty()) {
        family("zelkor_datagrams", "counter", "Datagrams received, by NTP mode.");
        for (char mode = '0'; mode <= '7'; ++mode) {
            const std::string& count = c.Text((std::string("datagrams_mode") + mode).c_str());
            if (!count.empty())
                out += Format("zelkor_datagrams_total{ntp_mode=\"%c\"} ", mode) + count + "\n";
        }
    }
    for (const CounterInfo& counter : kCounters) {
        if (c.Text(counter.key).empty()) continue;  // a file older than the counter
        family(std::string("zelkor_") + counter.key, "counter", counter.help);
        out += std::string("zelkor_") + counter.key + "_total " + c.Text(counter.key) + "\n";
    }
    return out + "# EOF\n";
}
