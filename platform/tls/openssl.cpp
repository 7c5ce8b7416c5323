// TLS to the target through OpenSSL (POSIX side of the seam).
//
// OpenSSL is touched only when a request asks for TLS: a plain request runs
// none of its code. The session works on the socket in non-blocking mode, so
// that the handshake, each send and each receive wait no longer than the
// gateway allows.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/system.h"
#include "platform/tls.h"
#include "platform/tls/client_key.h"

namespace platform {

struct TlsClient {
  SSL_CTX* context = nullptr;  // made at the first connection; points back here
  SSL_SESSION* last = nullptr;  // the newest session the target gave
  TlsClientKey key;             // what the context was made for
};

struct TlsSession {
  SSL_CTX* context = nullptr;  // a reference of its own, also when a client lent it
  SSL* ssl = nullptr;
  int fd = -1;
  bool verify = false;
  bool broken = false;  // no close_notify is owed once the connection failed
};

namespace {

// The system's trusted roots, one file per certificate under a name made from
// its subject: only the issuers a chain needs are read, never the whole
// bundle of some hundred certificates.
constexpr const char* kSystemCertificateFolder = "/etc/ssl/certs";

int64_t NowMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for what OpenSSL asked for; false when it asked for nothing a wait
// can give (a failure).
bool WaitForTurn(TlsSession* session, int result, int milliseconds) {
  int error = SSL_get_error(session->ssl, result);
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
  PollOne(session->fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, milliseconds);
  return true;
}

void Describe(const char* text, char* detail, size_t size) {
  std::snprintf(detail, size, "%s", text);
}

// The handshake failed: a certificate check, or anything else (the protocol).
TlsFailure CauseOfFailure(TlsSession* session, int result, int savedErrno, char* detail,
                          size_t size) {
  long verified = session->verify ? SSL_get_verify_result(session->ssl) : X509_V_OK;
  if (verified != X509_V_OK) {
    Describe(X509_verify_cert_error_string(verified), detail, size);
    switch (verified) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsFailure::kExpired;
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsFailure::kNameMismatch;
      default:
        return TlsFailure::kUntrusted;
    }
  }
  unsigned long queued = ERR_peek_last_error();
  if (queued != 0) {
    const char* reason = ERR_reason_error_string(queued);
    Describe(reason ? reason : "TLS library error", detail, size);
  } else if (SSL_get_error(session->ssl, result) == SSL_ERROR_SYSCALL && savedErrno != 0) {
    Describe(std::strerror(savedErrno), detail, size);
  } else {
    Describe("connection closed during the handshake", detail, size);
  }
  return TlsFailure::kProtocol;
}

bool IsAddress(const char* name) {
  unsigned char ignored[16];
  return inet_pton(AF_INET, name, ignored) == 1 || inet_pton(AF_INET6, name, ignored) == 1;
}

// A context as the options ask; nullptr when it cannot be made (`detail`
// says so when the roots cannot be read).
SSL_CTX* NewContext(const TlsOptions& options, char* detail, size_t size) {
  // The system's openssl.cnf is not read: the gateway sets what it needs
  // below, and a request does not pay for parsing it. Nor is OpenSSL's state
  // taken apart at exit (7 % of a request): the system takes it back whole.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (!context) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_security_level(context, 2);
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (options.verify) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    bool own = options.caFile && options.caFile[0];
    if (SSL_CTX_load_verify_locations(context, own ? options.caFile : nullptr,
                                      own ? nullptr : kSystemCertificateFolder) != 1) {
      Describe(own ? "TlsCaFile could not be read" : "no system certificate folder", detail, size);
      SSL_CTX_free(context);
      return nullptr;
    }
  }
  return context;
}

void ForgetSession(TlsClient* client) {
  SSL_SESSION_free(client->last);
  client->last = nullptr;
}

void ForgetContext(TlsClient* client) {
  ForgetSession(client);
  client->key.Clear();
  if (!client->context) return;
  // A connection still holding it must no longer reach the client.
  SSL_CTX_set_app_data(client->context, nullptr);
  SSL_CTX_free(client->context);
  client->context = nullptr;
}

// The client whose context `ssl` was made with, while it still keeps it.
TlsClient* ClientOf(SSL* ssl) {
  return static_cast<TlsClient*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

// OpenSSL's word of a new session (after the handshake; TLS 1.3's tickets
// come with the first reads): the newest is the one to resume.
int KeepSession(SSL* ssl, SSL_SESSION* session) {
  TlsClient* client = ClientOf(ssl);
  if (!client) return 0;
  ForgetSession(client);
  client->last = session;
  return 1;  // the reference is the client's now
}

// The client's context, made again unless it was made for these options.
SSL_CTX* ContextOf(TlsClient* client, const TlsOptions& options, char* detail, size_t size) {
  if (client->context && client->key.Fits(options)) return client->context;
  ForgetContext(client);
  SSL_CTX* context = NewContext(options, detail, size);
  if (!context) return nullptr;
  if (!client->key.Remember(options)) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_app_data(context, client);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(context, KeepSession);
  client->context = context;
  return context;
}

// Context and connection as the options ask; false when the roots cannot be read.
bool Prepare(TlsSession* session, const TlsOptions& options, TlsClient* client, char* detail,
             size_t size) {
  if (client) {
    session->context = ContextOf(client, options, detail, size);
    if (session->context) SSL_CTX_up_ref(session->context);
  } else {
    session->context = NewContext(options, detail, size);
  }
  if (!session->context) return false;
  session->ssl = SSL_new(session->context);
  if (!session->ssl || SSL_set_fd(session->ssl, session->fd) != 1) return false;
  SSL* ssl = session->ssl;
  if (client && client->last) SSL_set_session(ssl, client->last);
  // An address is checked against the certificate's addresses and never sent
  // as SNI, which carries host names only.
  if (IsAddress(options.serverName)) {
    if (options.verify) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), options.serverName);
  } else {
    SSL_set_tlsext_host_name(ssl, options.serverName);
    if (options.verify) {
      // The name must be in a subject alternative name, as browsers ask: the
      // subject's common name is never taken for it.
      SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                                 X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
      SSL_set1_host(ssl, options.serverName);
    }
  }
  return true;
}

}  // namespace

TlsClient* MakeTlsClient() { return new (std::nothrow) TlsClient; }

void EndTlsClient(TlsClient* client) {
  if (!client) return;
  ForgetContext(client);
  delete client;
}

TlsSession* StartTls(SocketHandle socket, const TlsOptions& options, TlsClient* client,
                     TlsFailure* failure, char* detail, size_t size) {
  *failure = TlsFailure::kNone;
  if (size > 0) detail[0] = '\0';
  TlsSession* session = new (std::nothrow) TlsSession;
  if (!session) {
    *failure = TlsFailure::kUnavailable;
    return nullptr;
  }
  session->fd = static_cast<int>(socket);
  session->verify = options.verify;
  int flags = fcntl(session->fd, F_GETFL, 0);
  if (flags < 0 || fcntl(session->fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      !Prepare(session, options, client, detail, size)) {
    *failure = size > 0 && detail[0] ? TlsFailure::kUntrusted : TlsFailure::kUnavailable;
    session->broken = true;
    EndTls(session);
    return nullptr;
  }
  const int64_t deadline = NowMilliseconds() + static_cast<int64_t>(options.handshakeSeconds) * 1000;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int result = SSL_connect(session->ssl);
    if (result == 1) return session;
    int savedErrno = errno;
    int64_t left = deadline - NowMilliseconds();
    if (left <= 0) {
      *failure = TlsFailure::kTimeout;
      Describe("no handshake within the time allowed", detail, size);
    } else if (!WaitForTurn(session, result, static_cast<int>(left))) {
      *failure = CauseOfFailure(session, result, savedErrno, detail, size);
    } else {
      continue;
    }
    // Whatever failed, the next connection starts afresh.
    if (client) ForgetSession(client);
    session->broken = true;
    EndTls(session);
    return nullptr;
  }
}

bool TlsResumed(const TlsSession* session) { return SSL_session_reused(session->ssl) == 1; }

int32_t SendOnTls(TlsSession* session, const char* data, int32_t count) {
  // The socket's send timeout bounds a wait for room, as it bounds a blocking
  // send.
  struct timeval limit;
  socklen_t limitSize = sizeof limit;
  int64_t bound = 0;
  if (getsockopt(session->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &limitSize) == 0) {
    bound = static_cast<int64_t>(limit.tv_sec) * 1000 + limit.tv_usec / 1000;
  }
  const int64_t start = NowMilliseconds();
  for (;;) {
    ERR_clear_error();
    errno = 0;
    int put = SSL_write(session->ssl, data, count);
    if (put > 0) return put;
    int savedErrno = errno;
    int64_t left = bound > 0 ? bound - (NowMilliseconds() - start) : 1000;
    if (left <= 0 || !WaitForTurn(session, put, static_cast<int>(left))) {
      session->broken = true;
      errno = left <= 0 ? EAGAIN : savedErrno != 0 ? savedErrno : EPROTO;
      return -1;
    }
  }
}

int32_t ReceiveOnTlsWithoutWaiting(TlsSession* session, char* buffer, int32_t count) {
  ERR_clear_error();
  errno = 0;
  int got = SSL_read(session->ssl, buffer, count);
  if (got > 0) return got;
  int error = SSL_get_error(session->ssl, got);
  // Without close_notify OpenSSL reports the end as an orderly one too
  // (SSL_OP_IGNORE_UNEXPECTED_EOF); the reply's framing judges it.
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  session->broken = true;
  if (error != SSL_ERROR_SYSCALL || errno == 0) errno = EPROTO;
  return -1;
}

void EndTls(TlsSession* session) {
  if (!session) return;
  // One close_notify, without waiting for the target's.
  if (session->ssl && !session->broken) SSL_shutdown(session->ssl);
  SSL_free(session->ssl);
  SSL_CTX_free(session->context);
  delete session;
}

}  // namespace platform
