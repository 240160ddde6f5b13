#include "at_engine.hpp"

#include <cctype>

namespace {

const std::string_view ok_text = "OK";
const std::string_view error_text = "ERROR";

// Spaces are not significant in a command line, and commands are matched in
// upper case; digits of a dial string are unaffected.
std::string normalise(std::string_view line) {
    std::string s;
    s.reserve(line.size());
    for (char c : line) {
        auto u = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t' || std::iscntrl(u)) {
            continue;
        }
        s += static_cast<char>(std::toupper(u));
    }
    return s;
}

std::string value_ok(std::string_view value) {
    return at_response(value) + at_response(ok_text);
}

void end_call(at_engine &e) {
    e.call = call_state::idle;
    e.number.clear();
}

std::string dial(at_engine &e, std::string_view dial_string) {
    // Only voice calls: the dial string must end with ';'.
    if (dial_string.empty() || dial_string.back() != ';') {
        return at_response(error_text);
    }
    std::string_view number = dial_string.substr(0, dial_string.size() - 1);
    if (!at_valid_number(number) || e.call != call_state::idle) {
        return at_response(error_text);
    }
    e.call = call_state::active;
    e.number = number;
    return at_response(ok_text);
}

} // namespace

std::string at_response(std::string_view text) {
    std::string s = "\r\n";
    s += text;
    s += "\r\n";
    return s;
}

bool at_valid_number(std::string_view number) {
    if (number.empty() || number.size() > 32) {
        return false;
    }
    for (std::size_t i = 0; i < number.size(); ++i) {
        char c = number[i];
        bool ok = (c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && i == 0);
        if (!ok) {
            return false;
        }
    }
    return number != "+";
}

const char *call_state_name(call_state s) {
    switch (s) {
    case call_state::idle:
        return "idle";
    case call_state::ringing:
        return "ringing";
    case call_state::active:
        return "active";
    }
    return "?";
}

std::string at_execute(at_engine &e, std::string_view line) {
    std::string cmd = normalise(line);
    if (cmd.empty()) {
        return "";
    }
    if (cmd.compare(0, 2, "AT") != 0) {
        return at_response(error_text);
    }
    std::string_view body = std::string_view(cmd).substr(2);

    if (body.empty()) {
        return at_response(ok_text);
    }
    if (body == "I" || body == "I0") {
        std::string id = at_manufacturer;
        id += ' ';
        id += at_model;
        id += " Revision ";
        id += at_revision;
        return value_ok(id);
    }
    if (body == "E" || body == "E0") {
        e.echo = false;
        return at_response(ok_text);
    }
    if (body == "E1") {
        e.echo = true;
        return at_response(ok_text);
    }
    if (body == "+CGMI") {
        return value_ok(at_manufacturer);
    }
    if (body == "+CGMM") {
        return value_ok(at_model);
    }
    if (body == "+CGSN") {
        return value_ok(at_imei);
    }
    if (body == "+CPIN?") {
        return value_ok("+CPIN: READY");
    }
    if (body == "+CSQ") {
        return value_ok("+CSQ: 20,99");
    }
    if (body == "+CREG?") {
        return value_ok("+CREG: 0,1");
    }
    if (body == "H" || body == "H0" || body == "+CHUP") {
        // Also rejects an incoming call that is still ringing.
        end_call(e);
        return at_response(ok_text);
    }
    if (body == "A") {
        if (e.call != call_state::ringing) {
            return at_response(error_text);
        }
        e.call = call_state::active;
        return at_response(ok_text);
    }
    if (body[0] == 'D') {
        return dial(e, body.substr(1));
    }
    return at_response(error_text);
}

void at_input(at_engine &e, std::string_view data, at_output &out) {
    for (char c : data) {
        if (c == '\n') {
            continue;
        }
        if (e.echo) {
            out.to_client += c;
        }
        if (c == '\r') {
            out.lines.push_back(e.line);
            if (e.line_overflow) {
                out.to_client += at_response(error_text);
            } else {
                out.to_client += at_execute(e, e.line);
            }
            e.line.clear();
            e.line_overflow = false;
        } else if (c == '\b' || c == 0x7f) {
            if (!e.line.empty()) {
                e.line.pop_back();
            }
        } else if (e.line.size() < at_line_max) {
            e.line += c;
        } else {
            e.line_overflow = true;
        }
    }
}

std::string at_ring(at_engine &e, std::string_view number) {
    if (e.call == call_state::active) {
        return "";
    }
    if (e.call == call_state::ringing && e.number != number) {
        return "";
    }
    e.call = call_state::ringing;
    e.number = number;
    // Type of address: 145 for an international number, 129 otherwise.
    std::string clip = "+CLIP: \"";
    clip += number;
    clip += number.starts_with('+') ? "\",145" : "\",129";
    return at_response("RING") + at_response(clip);
}

std::string at_network_hangup(at_engine &e) {
    if (e.call == call_state::idle) {
        return "";
    }
    end_call(e);
    return at_response("NO CARRIER");
}

void at_reset(at_engine &e) {
    e = at_engine{};
}
