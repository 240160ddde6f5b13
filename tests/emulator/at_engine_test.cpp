#include "at_engine.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string feed(at_engine &e, std::string_view data) {
    at_output out;
    at_input(e, data, out);
    return out.to_client;
}

at_engine quiet() {
    at_engine e;
    e.echo = false;
    return e;
}

const std::string ok_reply = "\r\nOK\r\n";
const std::string error_reply = "\r\nERROR\r\n";

TEST(AtEngine, AnswersEachCommandInVerboseFraming) {
    struct row {
        const char *command;
        std::string response;
    };
    const std::vector<row> rows = {
        {"AT", ok_reply},
        {"ATI", "\r\nPTYBRIDGE GSM-EMU-2CH Revision 1.0\r\n" + ok_reply},
        {"AT+CGMI", "\r\nPTYBRIDGE\r\n" + ok_reply},
        {"AT+CGMM", "\r\nGSM-EMU-2CH\r\n" + ok_reply},
        {"AT+CGSN", "\r\n356938035643809\r\n" + ok_reply},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n" + ok_reply},
        {"AT+CSQ", "\r\n+CSQ: 20,99\r\n" + ok_reply},
        {"AT+CREG?", "\r\n+CREG: 0,1\r\n" + ok_reply},
        {"ATE0", ok_reply},
        {"ATH", ok_reply},
        {"AT+CHUP", ok_reply},
    };
    for (const row &r : rows) {
        at_engine e = quiet();
        EXPECT_EQ(feed(e, std::string(r.command) + "\r"), r.response) << r.command;
    }
}

TEST(AtEngine, ImeiIsFifteenDigitsWithValidCheckDigit) {
    std::string imei = at_imei;
    ASSERT_EQ(imei.size(), 15u);
    int sum = 0;
    for (std::size_t i = 0; i < imei.size(); ++i) {
        ASSERT_TRUE(imei[i] >= '0' && imei[i] <= '9');
        int d = imei[i] - '0';
        if (i % 2 == 1) {
            d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        }
        sum += d;
    }
    EXPECT_EQ(sum % 10, 0);
}

TEST(AtEngine, UnknownAndMalformedCommandsAreErrors) {
    for (const char *cmd : {"AT+FOO", "ATX", "HELLO", "A", "AT+CSQ?", "AT+CGMI=1", "ATE2", "ATD123",
                            "ATD;", "ATDabc;", "ATD12\"3;", "AT+CPIN"}) {
        at_engine e = quiet();
        EXPECT_EQ(feed(e, std::string(cmd) + "\r"), error_reply) << cmd;
        EXPECT_EQ(e.call, call_state::idle) << cmd;
    }
}

TEST(AtEngine, EmptyLineGetsNoResponse) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "\r"), "");
    EXPECT_EQ(feed(e, "  \r\n"), "");
}

TEST(AtEngine, EchoIsOnAtStartAndPrecedesTheResponse) {
    at_engine e;
    EXPECT_EQ(feed(e, "AT\r"), "AT\r" + ok_reply);
    EXPECT_EQ(feed(e, "at+csq\r"), "at+csq\r\r\n+CSQ: 20,99\r\n" + ok_reply);
}

TEST(AtEngine, EchoFollowsAte0AndAte1) {
    at_engine e;
    // The ATE0 line itself is still echoed: it arrived while echo was on.
    EXPECT_EQ(feed(e, "ATE0\r"), "ATE0\r" + ok_reply);
    EXPECT_EQ(feed(e, "AT\r"), ok_reply);
    EXPECT_EQ(feed(e, "ATE1\r"), ok_reply);
    EXPECT_EQ(feed(e, "AT\r"), "AT\r" + ok_reply);
}

TEST(AtEngine, LineFeedIsIgnoredAndNotEchoed) {
    at_engine e;
    EXPECT_EQ(feed(e, "\nAT\r\n"), "AT\r" + ok_reply);
    EXPECT_EQ(feed(e, "A\nT\r"), "AT\r" + ok_reply);
}

TEST(AtEngine, PrefixAndCommandsInAnyCase) {
    for (const char *cmd : {"at", "At", "aT"}) {
        at_engine e = quiet();
        EXPECT_EQ(feed(e, std::string(cmd) + "\r"), ok_reply) << cmd;
    }
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "aT+cReG?\r"), "\r\n+CREG: 0,1\r\n" + ok_reply);
    EXPECT_EQ(feed(e, "atd123;\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::active);
}

TEST(AtEngine, InputInPiecesGivesTheSameBytesAsInOneChunk) {
    const std::string script = "AT\r\nATI\rat+cgsn\r\nATE0\rAT+CSQ\r\nATD+4930123;\rATH\r\n";
    at_engine whole;
    at_output whole_out;
    at_input(whole, script, whole_out);

    for (std::size_t piece : {1u, 2u, 3u, 7u}) {
        at_engine e;
        std::string got;
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < script.size(); i += piece) {
            at_output out;
            at_input(e, std::string_view(script).substr(i, piece), out);
            got += out.to_client;
            lines.insert(lines.end(), out.lines.begin(), out.lines.end());
        }
        EXPECT_EQ(got, whole_out.to_client) << "piece " << piece;
        EXPECT_EQ(lines, whole_out.lines) << "piece " << piece;
    }
    EXPECT_EQ(whole_out.lines.size(), 7u);
    EXPECT_EQ(whole.call, call_state::idle);
    EXPECT_FALSE(whole.echo);
}

TEST(AtEngine, ResponseOnlyAtCarriageReturn) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "AT+CS"), "");
    EXPECT_EQ(feed(e, "Q"), "");
    EXPECT_EQ(feed(e, "\r"), "\r\n+CSQ: 20,99\r\n" + ok_reply);
}

TEST(AtEngine, BackspaceEditsTheLine) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "ATX\bI\r"), "\r\nPTYBRIDGE GSM-EMU-2CH Revision 1.0\r\n" + ok_reply);
    EXPECT_EQ(feed(e, "\b\b\bAT\r"), ok_reply);
}

TEST(AtEngine, OverlongLineIsAnErrorAndTheNextLineWorks) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "AT" + std::string(at_line_max, '1') + "\r"), error_reply);
    EXPECT_EQ(feed(e, "AT\r"), ok_reply);
}

TEST(AtEngine, DialStartsAndHangupEndsTheCall) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "ATD+4930123456;\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::active);
    EXPECT_EQ(e.number, "+4930123456");
    // One call at a time.
    EXPECT_EQ(feed(e, "ATD555;\r"), error_reply);
    EXPECT_EQ(e.number, "+4930123456");
    EXPECT_EQ(feed(e, "ATH\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::idle);
    EXPECT_EQ(e.number, "");

    EXPECT_EQ(feed(e, "ATD*100#;\r"), ok_reply);
    EXPECT_EQ(feed(e, "AT+CHUP\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::idle);
}

TEST(AtEngine, RingShowsCallerAndAtaAnswers) {
    at_engine e = quiet();
    EXPECT_EQ(feed(e, "ATA\r"), error_reply); // nothing to answer
    EXPECT_EQ(at_ring(e, "5551234"), "\r\nRING\r\n\r\n+CLIP: \"5551234\",129\r\n");
    EXPECT_EQ(e.call, call_state::ringing);
    EXPECT_EQ(feed(e, "ATD777;\r"), error_reply); // line busy with the incoming call
    EXPECT_EQ(feed(e, "ATA\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::active);
    EXPECT_EQ(e.number, "5551234");
    EXPECT_EQ(feed(e, "ATA\r"), error_reply);
}

TEST(AtEngine, InternationalCallerHasTypeOfAddress145) {
    at_engine e;
    EXPECT_EQ(at_ring(e, "+4930123"), "\r\nRING\r\n\r\n+CLIP: \"+4930123\",145\r\n");
}

TEST(AtEngine, RingRepeatsForTheSameCallerOnlyAndNeverDuringACall) {
    at_engine e = quiet();
    ASSERT_NE(at_ring(e, "111"), "");
    EXPECT_NE(at_ring(e, "111"), "");
    EXPECT_EQ(at_ring(e, "222"), "");
    EXPECT_EQ(e.number, "111");
    feed(e, "ATA\r");
    EXPECT_EQ(at_ring(e, "111"), "");
    EXPECT_EQ(e.call, call_state::active);
}

TEST(AtEngine, HangupRejectsARingingCall) {
    at_engine e = quiet();
    at_ring(e, "111");
    EXPECT_EQ(feed(e, "ATH\r"), ok_reply);
    EXPECT_EQ(e.call, call_state::idle);
    EXPECT_EQ(feed(e, "ATA\r"), error_reply);
}

TEST(AtEngine, NetworkHangupSendsNoCarrierOnlyWhenThereIsACall) {
    at_engine e = quiet();
    EXPECT_EQ(at_network_hangup(e), "");
    feed(e, "ATD123;\r");
    EXPECT_EQ(at_network_hangup(e), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(e.call, call_state::idle);
    at_ring(e, "123");
    EXPECT_EQ(at_network_hangup(e), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(e.call, call_state::idle);
}

TEST(AtEngine, ResetRestoresEchoAndDropsCallAndPartialLine) {
    at_engine e = quiet();
    feed(e, "ATD123;\rAT+CS");
    at_reset(e);
    EXPECT_TRUE(e.echo);
    EXPECT_EQ(e.call, call_state::idle);
    EXPECT_EQ(feed(e, "Q\r"), "Q\r" + error_reply);
}

} // namespace
