// FastCGI mode: records as the web server may cut them, the CGI header made
// from an HTTP one, and requests through one process that must not share state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "forwarding/target_connection.h"
#include "gateway/fastcgi/cgi_response_header.h"
#include "gateway/fastcgi/fastcgi_forwarder.h"
#include "gateway/fastcgi/server.h"
#include "tests/support/fake_forwarder.h"
#include "tests/support/memory_connection.h"
#include "tests/support/scripted_target.h"
#include "tests/support/scripted_target.h"

namespace {

// A record written out byte by byte, as the protocol lays it down.
std::string Rec(int type, int id, const std::string& content, int padding = 0) {
  auto byte = [](size_t value) { return static_cast<char>(value); };
  const char header[8] = {
      1, byte(type), 0, byte(id), byte(content.size() >> 8), byte(content.size()), byte(padding),
      0};
  return std::string(header, 8) + content + std::string(padding, '\x7f');
}
std::string Pair(const std::string& name, const std::string& value) {
  auto length = [](size_t n) {
    return n < 128 ? std::string(1, static_cast<char>(n))
                   : std::string{static_cast<char>(0x80 | n >> 24), static_cast<char>(n >> 16),
                                 static_cast<char>(n >> 8), static_cast<char>(n)};
  };
  return length(name.size()) + length(value.size()) + name + value;
}
std::string Begin(int id, int role = 1, bool keep = true) {
  return Rec(1, id, std::string{0, static_cast<char>(role), keep ? '\1' : '\0', 0, 0, 0, 0, 0});
}
std::string EchoParams(int id) {
  return Rec(4, id, Pair("PATH_INFO", "/~~echo") + Pair("REQUEST_METHOD", "POST") +
                        Pair("CONTENT_LENGTH", "5")) +
         Rec(4, id, "");
}
std::string EchoReply(const std::string& request) {
  return "Status: 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(request.size()) + "\r\n\r\n" + request;
}

std::string Serve(const std::string& input, size_t piece, std::string* records = nullptr) {
  ForwardSettings settings = DefaultSettings();
  settings.forwardOtherHeaders = 1;
  MemoryConnection connection(input, piece);
  // Each request served refreshes the settings first: listed as "served;".
  auto served = [](void* c) { static_cast<MemoryConnection*>(c)->records += "served;"; };
  ServeFastCgiConnection(connection, settings, "1.0.0", served, &connection, nullptr);
  if (records) *records = connection.records;
  return connection.out;
}

// Serves `input` with one kept connection to a target that answers `replies`
// requests on it, each with "Reply <n>"; `*sent` is what the target received,
// its address written "TARGET".
std::string ServeThroughTarget(const std::string& input, int replies, std::string* sent,
                               int* connections) {
  ScriptedTarget target;
  for (int i = 0; i < replies; ++i) {
    const std::string body = "Reply " + std::to_string(i);
    if (i > 0) target.Read();
    target.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body);
  }
  target.Hold().Start(replies);
  ForwardSettings settings = DefaultSettings(target.Port());
  settings.forwardOtherHeaders = 1;
  settings.targetHttp11 = 1;
  TargetConnection kept(settings);
  MemoryConnection connection(input, 64);
  ServeFastCgiConnection(connection, settings, "1.0.0", nullptr, nullptr, &kept);
  *sent = target.Received();
  const std::string address = "127.0.0.1:" + std::to_string(target.Port());
  for (size_t at; (at = sent->find(address)) != std::string::npos;) {
    sent->replace(at, address.size(), "TARGET");
  }
  *connections = target.Connections();
  return connection.out;
}

const std::string kEchoed = "POST /~~echo HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello";
// END_REQUEST as MemoryConnection lists it.
std::string End(int id, char status = 0) {
  return "3:" + std::to_string(id) + ":" + std::string(4, '\0') + status + std::string(3, '\0') +
         ";";
}

struct SessionCase {
  const char* name;
  std::string input;
  std::string out;      // STDOUT, all requests
  std::string records;  // the other records, and where a request was served
};

const SessionCase kSessions[] = {
    {"PaddedRecordsCutAnywhere",
     Begin(1) + Rec(4, 1, Pair("PATH_INFO", "/~~echo") + "\x0e", 3) +
         Rec(4, 1, std::string("\x04REQUEST_METHODPOST") + Pair("CONTENT_LENGTH", "5"), 5) +
         Rec(4, 1, "") + Rec(5, 1, "he", 6) + Rec(5, 1, "llo") + Rec(5, 1, ""),
     EchoReply(kEchoed), "served;" + End(1)},
    {"FourByteLengths",
     Begin(1) +
         Rec(4, 1,
             Pair(std::string(130, 'N'), "") + Pair("REQUEST_METHOD", "GET") +
                 Pair("PATH_INFO", "/~~echo") + Pair("HTTP_USER_AGENT", std::string(300, 'v'))) +
         Rec(4, 1, "") + Rec(5, 1, ""),
     EchoReply("GET /~~echo HTTP/1.0\r\nUser-Agent: " + std::string(300, 'v') + "\r\n\r\n"),
     "served;" + End(1)},
    {"AbortEndsTheRequest", Begin(1) + EchoParams(1) + Rec(5, 1, "he") + Rec(2, 1, ""), "",
     "served;" + End(1)},
    {"OneRequestAtATime",
     Begin(1) + EchoParams(1) + Begin(2) + Rec(5, 2, "other") + Rec(5, 1, "hello") + Rec(5, 1, ""),
     EchoReply(kEchoed), "served;" + End(2, 1) + End(1)},
    {"MalformedParamsEndTheRequestUnanswered",
     Begin(1) + Rec(4, 1, "\x09\x07PATH_INFO/~~") + Rec(4, 1, "") + Rec(5, 1, ""), "", End(1)},
    // Variables cut short by bytes that are no record: no request is served,
    // and nothing more is sent.
    {"ParamsCutByNoRecord", Begin(1) + Rec(4, 1, Pair("PATH_INFO", "/")) + "GET / HTTP", "", ""},
    {"OnlyTheResponderRole", Begin(1, 2, false), "", End(1, 3)},
    // A name known only in part is not known.
    {"ManagementRecords",
     Rec(9, 0, Pair("FCGI_MPXS_CONNS", "") + Pair("FCGI_MAX_CONN", "")) + Rec(42, 0, ""), "",
     "10:0:" + Pair("FCGI_MPXS_CONNS", "0") + ";11:0:*" + std::string(7, '\0') + ";"},
};

void PrintTo(const SessionCase& c, std::ostream* out) { *out << c.name; }

class Session : public ::testing::TestWithParam<SessionCase> {};

TEST_P(Session, ServesWhateverTheCuts) {
  for (size_t piece : {size_t{1}, size_t{7}, size_t{1} << 20}) {
    std::string records;
    EXPECT_EQ(GetParam().out, Serve(GetParam().input, piece, &records)) << piece;
    EXPECT_EQ(GetParam().records, records) << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(FastCgi, Session, ::testing::ValuesIn(kSessions),
                         [](const auto& info) { return std::string(info.param.name); });

// Requests that differ in every variable, alternated on one connection, each
// answered exactly as when it is served alone.
TEST(FastCgiSession, NothingCarriesOverToTheNextRequest) {
  const std::string a = Begin(1) + EchoParams(1) + Rec(5, 1, "hello") + Rec(5, 1, "");
  const std::string b = Begin(2) +
                        Rec(4, 2,
                            Pair("PATH_INFO", "/~~echo") + Pair("REQUEST_METHOD", "PUT") +
                                Pair("QUERY_STRING", "q=1") + Pair("HTTP_COOKIE", "s=secret") +
                                Pair("REMOTE_USER", "ann") +
                                Pair("HTTP_AUTHORIZATION", "Basic eA==") + Pair("HTTP_X_B", "1")) +
                        Rec(4, 2, "") + Rec(5, 2, "");
  std::string alone = Serve(a, 64) + Serve(b, 64);
  EXPECT_NE(std::string::npos, alone.find("Cookie: (8 bytes)"));
  EXPECT_EQ(alone + alone, Serve(a + b + a + b, 64));
  // The same requests to the target, through the one connection the process
  // keeps: each reaches the target as it does alone, and gets its own reply.
  auto forwarded = [](std::string input) {
    return input.replace(input.find("/~~echo"), 7, "/x/echo");
  };
  std::string sentAlone, sentTogether;
  int connections = 0;
  const std::string replyA = ServeThroughTarget(forwarded(a), 1, &sentAlone, &connections);
  ServeThroughTarget(forwarded(b), 1, &sentTogether, &connections);
  sentAlone += sentTogether;
  std::string replies;
  for (char n : std::string("0123")) replies += replyA.substr(0, replyA.size() - 1) + n;
  EXPECT_EQ(replies, ServeThroughTarget(forwarded(a) + forwarded(b) + forwarded(a) + forwarded(b),
                                        4, &sentTogether, &connections));
  EXPECT_EQ(sentAlone + sentAlone, sentTogether);
  EXPECT_EQ(1, connections);
}

// Interim replies are the web server's to make. A flowing reply leaves as it
// comes; a held one with the end of the request. One cut short never ends as
// a request: the connection closes, and the web server drops the browser's.
TEST(FastCgiOutput, InterimRepliesLeftOutStreamedOnesSentAtOnce) {
  for (int run : {0, 1, 2}) {  // held, flowing, flowing and cut short
    const bool streaming = run > 0;
    ForwardSettings settings = DefaultSettings();
    MemoryConnection connection(Rec(5, 1, ""), 1);
    GrowingBuffer params;
    FastCgiForwarder forwarder(settings, connection, 1, params);
    if (streaming) forwarder.MarkReplyFlowing();
    if (run == 2) forwarder.MarkReplyCutShort();
    for (const char* piece :
         {"HTTP/1.1 100 Continue\r\n\r", "\nHTTP/1.1 200 OK\r\nA: b\r\n", "\r\nbody"}) {
      forwarder.WriteOutput(piece, static_cast<int32_t>(strlen(piece)));
    }
    const std::string reply = "Status: 200 OK\r\nA: b\r\n\r\nbody";
    EXPECT_EQ(streaming ? reply : "", connection.out);
    EXPECT_EQ(run < 2, forwarder.Finish(true));
    EXPECT_EQ(reply, connection.out);
    EXPECT_EQ(run < 2, connection.records.find("3:1:") != std::string::npos) << run;
  }
}

// The web server frames the response itself: a chunked reply reaches it as
// its data, whatever the browser speaks, with its length when it was held
// whole. The request goes as HTTP/1.1.
TEST(FastCgiOutput, ChunkedRepliesGoOutAsTheirData) {
  for (Relay relay : {Relay::kHeld, Relay::kStreamed, Relay::kAdaptive}) {
    ScriptedTarget target;
    target.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n").Pause(20);
    target.Send("4\r\ndefg\r\n0\r\n\r\n").Hold().Start();
    ForwardSettings settings = DefaultSettings(target.Port());
    settings.relay = relay;
    settings.targetHttp11 = kTargetHttp11Unset;  // as the file leaves it
    ApplyFastCgiDefaults(&settings);
    const std::string params = Pair("REQUEST_METHOD", "GET") + Pair("SERVER_PROTOCOL", "HTTP/1.1");
    MemoryConnection connection(Begin(1) + Rec(4, 1, params) + Rec(4, 1, "") + Rec(5, 1, ""), 99);
    ServeFastCgiConnection(connection, settings, "1.0.0", nullptr, nullptr, nullptr);
    EXPECT_EQ(relay == Relay::kStreamed ? "Status: 200 OK\r\n\r\nabcdefg"
                                        : "Status: 200 OK\r\nContent-Length: 7\r\n\r\nabcdefg",
              connection.out);
    EXPECT_EQ(0u, target.Received().find("GET / HTTP/1.1\r\n"));
  }
}

struct HeaderCase {
  const char* name;
  const char* http;
  const char* cgi;  // nullptr: refused
};

const HeaderCase kHeaders[] = {
    {"OneConnectionsFieldsLeftOut",
     "HTTP/1.1 200 OK\r\nconnection: close, X-Hop\r\nKeep-Alive: 5\r\nTransfer-Encoding: chunked\r\n"
     "x-hop: 1\r\nX-Hops: 2\r\nStatus: 500\r\n\r\n",
     "Status: 200 OK\r\nX-Hops: 2\r\n\r\n"},
    {"LocationLeftOutOfA200Only", "HTTP/1.0 200 OK\r\nLocation: /a\r\n\r\n",
     "Status: 200 OK\r\n\r\n"},
    {"LocationKeptInA201AndFieldsOnlyNamedByOthers",
     "HTTP/1.0 201 Created\r\nLocation: /a\r\nX-Mentions: X-Kept\r\nX-Kept: 1\r\n\r\n",
     "Status: 201 Created\r\nLocation: /a\r\nX-Mentions: X-Kept\r\nX-Kept: 1\r\n\r\n"},
    {"RepeatedFieldsKeptInOrder",
     "HTTP/1.0 302 Found\r\nSet-Cookie: a\r\nLocation: /\r\nSet-Cookie: b\r\n\r\n",
     "Status: 302 Found\r\nSet-Cookie: a\r\nLocation: /\r\nSet-Cookie: b\r\n\r\n"},
    // One Content-Length, the gateway's number, however the target wrote it.
    {"OneContentLength", "HTTP/1.1 200 OK\r\nA: 1\r\ncontent-length:  05 \r\nB: 2\r\nContent-Length: 5\r\n\r\n",
     "Status: 200 OK\r\nA: 1\r\nContent-Length: 5\r\nB: 2\r\n\r\n"},
    // What the web server could frame otherwise is refused, as the relay refuses it.
    {"TransferEncodingOverridesLength",
     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n",
     "Status: 200 OK\r\n\r\n"},
    {"LengthsThatDiffer", "HTTP/1.1 200 OK\r\nContent-Length: 65\r\nContent-Length: 5\r\n\r\n", nullptr},
    {"TransferEncodingFolded", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n x\r\n\r\n", nullptr},
    {"LengthNotPlain", "HTTP/1.1 200 OK\r\nContent-Length: 5, 16\r\n\r\n", nullptr},
    {"BareLf", "HTTP/1.0 302 Found\nLocation: /\n\n", nullptr},
    {"BareCrInAValue", "HTTP/1.1 200 OK\r\nA: 1\rX-Injected: yes\r\n\r\n", nullptr},
    {"StatusOutOfRange", "HTTP/1.1 600 Odd\r\n\r\n", nullptr},
    {"FoldedLinesFollowTheirField",
     "HTTP/1.0 404 No\r\n lead\r\nA: 1\r\n 2\r\nKeep-Alive: 1\r\n 2\r\nbad\r\n\r\n",
     "Status: 404 No\r\nA: 1\r\n 2\r\n\r\n"},
    {"NoReason", "HTTP/1.0 204\r\n\r\n", "Status: 204\r\n\r\n"},
    {"NotHttp", "ICY 200 OK\r\n\r\n", nullptr},
    {"NoCode", "HTTP/1.0 2x0 OK\r\n\r\n", nullptr},
    {"FourDigitCode", "HTTP/1.0 2000 OK\r\n\r\n", nullptr},
};

void PrintTo(const HeaderCase& c, std::ostream* out) { *out << c.name; }

class CgiHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(CgiHeader, CarriesWhatTheBrowserWouldHaveHad) {
  GrowingBuffer out;
  bool made = ReplyHeaderToCgi(GetParam().http, strlen(GetParam().http), out);
  EXPECT_EQ(std::string(GetParam().cgi ? GetParam().cgi : "(refused)"),
            made ? out.Data() : "(refused)");
}

INSTANTIATE_TEST_SUITE_P(FastCgi, CgiHeader, ::testing::ValuesIn(kHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
