#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "forwarding/reply_framing.h"
#include "tests/support/fake_forwarder.h"

namespace {

struct Scan {
  int32_t headerLength, status, bodyLength;
};

Scan ScanText(std::string text) {
  ForwardSettings settings = DefaultSettings();
  FakeForwarder forwarder(settings);
  Scan scan{-1, -1, -1};
  std::string before = text;
  forwarder.ScanReplyHeader(&text[0], &scan.headerLength, &scan.status, &scan.bodyLength);
  EXPECT_EQ(before, text) << "the scanned text must be restored";
  return scan;
}

ReplyHead Head(std::string text) {
  ReplyHead head;
  std::string before = text;
  ScanReplyHead(&text[0], &head);
  EXPECT_EQ(before, text) << "the scanned text must be restored";
  return head;
}

// --- Reply header scanning -------------------------------------------------

TEST(ReplyScanner, ReadsHeaderLengthStatusAndContentLength) {
  Scan scan = ScanText("HTTP/1.0 404 Not Found\r\nContent-Length: 12\r\n\r\n");
  EXPECT_EQ(46, scan.headerLength);
  EXPECT_EQ(404, scan.status);
  EXPECT_EQ(12, scan.bodyLength);
}

TEST(ReplyScanner, ContentLengthNameIgnoresCaseAndBlanks) {
  Scan scan = ScanText("HTTP/1.1 200 OK\r\ncontent-length:7\r\n\r\nabc");
  EXPECT_EQ(200, scan.status);
  EXPECT_EQ(7, scan.bodyLength);
  EXPECT_EQ(3, ScanText("HTTP/1.0 200 OK\r\nCONTENT-LENGTH:   3\r\n\r\nabc").bodyLength);
}

TEST(ReplyScanner, IncompleteHeaderGivesZeros) {
  for (const char* text : {"", "HTTP/1.0 200 OK", "HTTP/1.0 200 OK\r\n",
                           "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n",
                           "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r"}) {
    SCOPED_TRACE(text);
    Scan scan = ScanText(text);
    EXPECT_EQ(0, scan.headerLength);
    EXPECT_EQ(0, scan.status);
    EXPECT_EQ(0, scan.bodyLength);
  }
}

TEST(ReplyScanner, NulBeforeBlankLineHidesTheHeaderEnd) {
  std::string text("HTTP/1.0 200 OK\r\nX-A: 1\0\r\nContent-Length: 3\r\n\r\nabc", 48);
  Scan scan = ScanText(text);
  EXPECT_EQ(0, scan.headerLength);
  EXPECT_EQ(0, scan.status);
  EXPECT_EQ(0, scan.bodyLength);
}

TEST(ReplyScanner, StatusIsZeroWithoutANumberAfterTheProtocol) {
  Scan scan = ScanText("HTTP/1.0 OK\r\nContent-Length: 2\r\n\r\nok");
  EXPECT_EQ(34, scan.headerLength);
  EXPECT_EQ(0, scan.status);
  EXPECT_EQ(2, scan.bodyLength);
  EXPECT_EQ(302, ScanText("HTTP/1.1    302 Found\r\n\r\n").status);
}

TEST(ReplyScanner, ContentLengthOnlyCountsInsideTheHeaderAndNotOnTheFirstLine) {
  // In the body only.
  Scan body = ScanText("HTTP/1.0 200 OK\r\nX: 1\r\n\r\nContent-Length: 9\r\n\r\n");
  EXPECT_EQ(25, body.headerLength);
  EXPECT_EQ(0, body.bodyLength);
  // At the very start of the text there is no line end before it.
  Scan first = ScanText("Content-Length: 9\r\nX: 1\r\n\r\n");
  EXPECT_EQ(27, first.headerLength);
  EXPECT_EQ(0, first.bodyLength);
  // A blank before the colon is a different name.
  EXPECT_EQ(0, ScanText("HTTP/1.0 200 OK\r\nContent-Length : 9\r\n\r\n").bodyLength);
  // A longer name that merely ends in it does not count either.
  EXPECT_EQ(0, ScanText("HTTP/1.0 200 OK\r\nX-Content-Length: 9\r\n\r\n").bodyLength);
}

TEST(ReplyScanner, FirstOfSeveralContentLengthLinesCounts) {
  EXPECT_EQ(5, ScanText("HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 9\r\n\r\n")
                   .bodyLength);
}

TEST(ReplyScanner, OddContentLengthValues) {
  EXPECT_EQ(-5, ScanText("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n").bodyLength);
  EXPECT_EQ(12, ScanText("HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\n").bodyLength);
  EXPECT_EQ(0, ScanText("HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n").bodyLength);
  EXPECT_EQ(INT32_MAX,
            ScanText("HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n").bodyLength);

  ReplyHead negative = Head("HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n");
  EXPECT_TRUE(negative.hasContentLength);
  EXPECT_EQ(-5, negative.contentLength);
  ReplyHead garbage = Head("HTTP/1.0 200 OK\r\nContent-Length: x5\r\n\r\n");
  EXPECT_FALSE(garbage.hasContentLength);
  ReplyHead empty = Head("HTTP/1.0 200 OK\r\nContent-Length:\r\n\r\n");
  EXPECT_FALSE(empty.hasContentLength) << "the search must stop at the header's end";
  ReplyHead huge = Head("HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n");
  EXPECT_TRUE(huge.hasContentLength);
  EXPECT_GT(huge.contentLength, static_cast<int64_t>(INT32_MAX));
}

// --- Reply framing ----------------------------------------------------------

using State = ReplyFramer::State;

// Feeds the reply as it would have arrived so far.
State Feed(ReplyFramer& framer, std::string& reply) {
  return framer.Update(&reply[0], static_cast<int64_t>(reply.size()));
}

const std::string kHeader5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n";

TEST(ReplyFramer, ContentLengthFramesTheBodyAndDropsTheRest) {
  ReplyFramer framer(false);
  std::string reply = kHeader5.substr(0, 20);
  EXPECT_EQ(State::kNeedMore, Feed(framer, reply));
  EXPECT_FALSE(framer.HeaderComplete());
  reply = kHeader5 + "he";
  EXPECT_EQ(State::kNeedMore, Feed(framer, reply));
  EXPECT_TRUE(framer.HeaderComplete());
  EXPECT_EQ(200, framer.Status());
  EXPECT_EQ(static_cast<int64_t>(kHeader5.size() + 5), framer.End());
  reply += "lloEXTRA";
  EXPECT_EQ(State::kComplete, Feed(framer, reply));
  EXPECT_EQ(static_cast<int64_t>(kHeader5.size() + 5), framer.End());
}

TEST(ReplyFramer, InterimRepliesAreSkippedForFraming) {
  ReplyFramer framer(false);
  std::string reply = "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(State::kNeedMore, Feed(framer, reply));
  EXPECT_FALSE(framer.HeaderComplete());
  reply += "HTTP/1.1 102 Processing\r\nX: 1\r\n\r\n" + kHeader5 + "hel";
  EXPECT_EQ(State::kNeedMore, Feed(framer, reply));
  EXPECT_EQ(200, framer.Status());
  reply += "lo";
  EXPECT_EQ(State::kComplete, Feed(framer, reply));
  EXPECT_EQ(static_cast<int64_t>(reply.size()), framer.End()) << "interim replies stay in the reply";
}

TEST(ReplyFramer, HeadRequestEndsAtTheFinalHeader) {
  ReplyFramer framer(true);
  std::string reply = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n";
  EXPECT_EQ(State::kComplete, Feed(framer, reply));
  EXPECT_EQ(static_cast<int64_t>(reply.size()), framer.End());
  EXPECT_EQ(200, framer.Status());
}

TEST(ReplyFramer, StatusesWithoutBodyEndAtTheHeader) {
  for (const char* text : {"HTTP/1.0 204 No Content\r\nContent-Length: 10\r\n\r\n",
                           "HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n",
                           "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"}) {
    SCOPED_TRACE(text);
    ReplyFramer framer(false);
    std::string header = text;
    std::string reply = header + "stray";
    EXPECT_EQ(State::kComplete, Feed(framer, reply));
    EXPECT_EQ(static_cast<int64_t>(header.size()), framer.End());
  }
}

TEST(ReplyFramer, WithoutUsableContentLengthTheCloseEndsTheReply) {
  for (const char* header : {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\n",
                             "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n",
                             "HTTP/1.0 200 OK\r\nContent-Length: none\r\n\r\n"}) {
    SCOPED_TRACE(header);
    ReplyFramer framer(false);
    std::string reply = header;
    EXPECT_EQ(State::kNeedMore, Feed(framer, reply));
    EXPECT_TRUE(framer.HeaderComplete());
    reply += std::string(5000, 'b');
    EXPECT_EQ(State::kNeedMore, Feed(framer, reply)) << "the first body bytes do not end it";
    EXPECT_EQ(State::kComplete, framer.OnClose(static_cast<int64_t>(reply.size())));
    EXPECT_EQ(static_cast<int64_t>(reply.size()), framer.End());
  }
}

TEST(ReplyFramer, CloseBeforeHeaderOrDeclaredLengthIsEarly) {
  ReplyFramer beforeHeader(false);
  std::string partial = "HTTP/1.0 200 OK\r\nCon";
  EXPECT_EQ(State::kNeedMore, Feed(beforeHeader, partial));
  EXPECT_EQ(State::kClosedEarly, beforeHeader.OnClose(static_cast<int64_t>(partial.size())));

  EXPECT_EQ(State::kClosedEarly, ReplyFramer(false).OnClose(0)) << "nothing at all";

  ReplyFramer interimOnly(false);
  std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(State::kNeedMore, Feed(interimOnly, interim));
  EXPECT_EQ(State::kClosedEarly, interimOnly.OnClose(static_cast<int64_t>(interim.size())));

  ReplyFramer shortBody(false);
  std::string reply = kHeader5 + "hel";
  EXPECT_EQ(State::kNeedMore, Feed(shortBody, reply));
  EXPECT_EQ(State::kClosedEarly, shortBody.OnClose(static_cast<int64_t>(reply.size())));
  EXPECT_EQ(200, shortBody.Status());
}

TEST(ReplyFramer, HeaderLargerThan64KiBFails) {
  std::string filler;
  while (filler.size() <= static_cast<size_t>(kMaxReplyHeader)) filler += "X-Filler: aaaaaaaaaaaaaaaa\r\n";

  ReplyFramer unfinished(false);
  std::string reply = "HTTP/1.0 200 OK\r\n" + filler;
  EXPECT_EQ(State::kHeaderTooLarge, Feed(unfinished, reply));

  ReplyFramer finished(false);
  reply += "\r\n";
  EXPECT_EQ(State::kHeaderTooLarge, Feed(finished, reply));

  // Interim replies count towards the limit.
  ReplyFramer interim(false);
  std::string many;
  while (many.size() <= static_cast<size_t>(kMaxReplyHeader)) many += "HTTP/1.1 100 Continue\r\n\r\n";
  many += kHeader5;
  EXPECT_EQ(State::kHeaderTooLarge, Feed(interim, many));
}

TEST(ReplyFramer, HeaderOfExactly64KiBIsAccepted) {
  std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nX-Filler: ";
  reply += std::string(static_cast<size_t>(kMaxReplyHeader) - reply.size() - 4, 'a');
  reply += "\r\n\r\n";
  ASSERT_EQ(static_cast<size_t>(kMaxReplyHeader), reply.size());
  ReplyFramer framer(false);
  EXPECT_EQ(State::kComplete, Feed(framer, reply));
}

TEST(ReplyFramer, HeaderPlusContentLengthBeyond31BitsFails) {
  std::string header = "HTTP/1.0 200 OK\r\nContent-Length: ";
  // Both numbers below have 10 digits, so the header's length is the same.
  int64_t headerLength = static_cast<int64_t>(header.size() + 10 + 4);

  ReplyFramer large(false);
  std::string reply = header + std::to_string(INT32_MAX - 100 - headerLength) + "\r\n\r\n";
  ASSERT_EQ(headerLength, static_cast<int64_t>(reply.size()));
  EXPECT_EQ(State::kNeedMore, Feed(large, reply));
  EXPECT_EQ(static_cast<int64_t>(INT32_MAX) - 100, large.End());

  ReplyFramer beyond(false);  // header + body = 2^31
  reply = header + std::to_string(static_cast<int64_t>(INT32_MAX) + 1 - headerLength) + "\r\n\r\n";
  ASSERT_EQ(headerLength, static_cast<int64_t>(reply.size()));
  EXPECT_EQ(State::kTooLong, Feed(beyond, reply));

  ReplyFramer huge(false);
  reply = header + "99999999999999999999\r\n\r\n";
  EXPECT_EQ(State::kTooLong, Feed(huge, reply));
}

}  // namespace
