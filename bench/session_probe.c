/* One HTTPS request the way the gateway makes it as a CGI program (OpenSSL
 * set up as platform/tls/openssl.cpp sets it up, the CA file read, the name
 * checked), in a process of its own, for bench/https_ratio.py's question:
 * would a TLS session kept in a file between CGI requests pay?
 *
 *   session_probe full|save|resume PORT CA-FILE SESSION-FILE
 *
 * full: a full handshake; save: the same, and the target's last session
 * written to SESSION-FILE (mode 0600, replaced whole); resume: the session
 * read from SESSION-FILE first, and the new one written back, as a file
 * cache would. Exit code 0 when the reply arrived (and, resuming, the
 * session was resumed). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static SSL_SESSION* last;

static int keep(SSL* ssl, SSL_SESSION* session) {
  (void)ssl;
  SSL_SESSION_free(last);
  last = session;
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const char* mode = argv[1];
  const char* file = argv[4];
  int resume = strcmp(mode, "resume") == 0, save = resume || strcmp(mode, "save") == 0;
  OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, NULL);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_security_level(context, 2);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  if (save) {
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, keep);
  }
  if (SSL_CTX_load_verify_locations(context, argv[3], NULL) != 1) return 3;
  int fd = socket(AF_INET, SOCK_STREAM, 0), on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((uint16_t)atoi(argv[2]));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 4;
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  if (resume) {
    FILE* in = fopen(file, "r");
    SSL_SESSION* session = in ? PEM_read_SSL_SESSION(in, NULL, NULL, NULL) : NULL;
    if (in) fclose(in);
    if (session) SSL_set_session(ssl, session);
    SSL_SESSION_free(session);
  }
  if (SSL_connect(ssl) != 1) return 5;
  static const char request[] = "GET /small.bin HTTP/1.0\r\nHost: localhost\r\n\r\n";
  SSL_write(ssl, request, sizeof request - 1);
  char buffer[16384];
  long total = 0;
  for (int got; (got = SSL_read(ssl, buffer, sizeof buffer)) > 0;) total += got;
  if (save && last) {
    char temporary[4096];
    snprintf(temporary, sizeof temporary, "%s.new", file);
    FILE* out = fopen(temporary, "w");
    if (!out) return 6;
    fchmod(fileno(out), 0600);
    PEM_write_SSL_SESSION(out, last);
    fclose(out);
    rename(temporary, file);
  }
  int resumed = SSL_session_reused(ssl);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return total > 0 && (resumed || !resume) ? 0 : 7;
}
