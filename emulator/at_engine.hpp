#pragma once

#include <string>
#include <string_view>
#include <vector>

// Identity the emulated modem reports.
inline constexpr const char *at_manufacturer = "PTYBRIDGE";
inline constexpr const char *at_model = "GSM-EMU-2CH";
inline constexpr const char *at_revision = "1.0";
inline constexpr const char *at_imei = "356938035643809"; // 15 digits, Luhn-valid

// Longest command line kept; a longer line is answered with ERROR at its CR.
inline constexpr std::size_t at_line_max = 256;

enum class call_state { idle, ringing, active };

// State of the control channel: echo flag, voice call and the command line
// being received. Everything here is changed only through the functions below.
struct at_engine {
    bool echo = true;
    call_state call = call_state::idle;
    std::string number; // other party of the call, empty when idle
    std::string line;   // command line received so far
    bool line_overflow = false;
};

struct at_output {
    std::string to_client;          // echo and responses, in order of the input
    std::vector<std::string> lines; // command lines completed by this input (for the log)
};

// Bytes received from the client. A command line ends at CR; LF is ignored;
// BS and DEL delete the last character. With echo on, every byte but LF is
// echoed as it arrives, so the echo always precedes the response.
void at_input(at_engine &e, std::string_view data, at_output &out);

// Response to one command line (without its CR): "" for an empty line.
std::string at_execute(at_engine &e, std::string_view line);

// Incoming call from the network. Returns the RING and +CLIP lines; repeated
// for the number that is ringing already. Returns "" while a call is up or
// another number rings (the engine is left unchanged then).
std::string at_ring(at_engine &e, std::string_view number);

// Call ended by the network: NO CARRIER, or "" when there was no call.
std::string at_network_hangup(at_engine &e);

// Back to power-on state (after the modem is re-enumerated).
void at_reset(at_engine &e);

// "\r\n<text>\r\n"
std::string at_response(std::string_view text);

// Digits, '*', '#' and an optional leading '+', 1 to 32 characters.
bool at_valid_number(std::string_view number);

const char *call_state_name(call_state s);
