/* The floor of any CGI gateway: a non-parsed-header CGI program that writes a
 * fixed reply and exits, without reading its settings or touching the
 * network. The benchmark compiles it with REPLY_SIZE set to the size of the
 * target's reply to the same request, so both put the same bytes on the wire.
 *
 *   cc -O2 -DREPLY_SIZE=1278 -o nph-trivial trivial_nph.c
 */
#include <string.h>
#include <unistd.h>

#ifndef REPLY_SIZE
#define REPLY_SIZE 1278
#endif
#define BODY_SIZE 1024

static char reply[REPLY_SIZE];

int main(void) {
  static const char head[] =
      "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: 1024\r\nX-Pad: ";
  size_t headSize = sizeof head - 1;
  /* head + padding + "\r\n\r\n" + body fills the reply exactly. */
  size_t pad = REPLY_SIZE - BODY_SIZE - 4 - headSize;
  if (REPLY_SIZE < BODY_SIZE + 4 + headSize) pad = 0;
  memcpy(reply, head, headSize);
  memset(reply + headSize, 'x', pad);
  memcpy(reply + headSize + pad, "\r\n\r\n", 4);
  memset(reply + headSize + pad + 4, 'b', BODY_SIZE);
  size_t total = headSize + pad + 4 + BODY_SIZE;
  size_t done = 0;
  while (done < total) {
    ssize_t put = write(1, reply + done, total - done);
    if (put <= 0) break;
    done += (size_t)put;
  }
  return 0;
}
