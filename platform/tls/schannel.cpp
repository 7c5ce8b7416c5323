// TLS to the target through the system's own TLS (SChannel), with the
// certificate judged by the system's chain engine: against the Windows store,
// or against the roots of TlsCaFile.
//
// The socket is only read once select() says it has something, so a receive
// never blocks whatever mode the socket is in; waits are bounded by the caller.
#include "platform/win32/system.h"

#define SECURITY_WIN32
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/tls.h"
#include "platform/tls/client_key.h"
#include "platform/win32/wide_text.h"

// wininet.h's name for the SSL policy's "root not in the store" exemption.
#ifndef SECURITY_FLAG_IGNORE_UNKNOWN_CA
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#endif

namespace platform {

// Room for a whole TLS record (16 KiB and its overhead) with space to spare.
constexpr DWORD kIncomingSize = 64 * 1024;

// A credentials handle, shared by a kept client and its connections: SChannel
// keeps its sessions per handle. Freed with its last user.
struct Credentials {
  CredHandle handle;
  HCERTSTORE roots = nullptr;  // TlsCaFile's certificates, read at the first check
  int users = 1;
};

struct TlsClient {
  Credentials* credentials = nullptr;  // acquired at the first connection
  TlsClientKey key;                    // what they were acquired for
};

struct TlsSession {
  SOCKET socket = INVALID_SOCKET;
  Credentials* credentials = nullptr;  // one use of its own, also when a client lent them
  CtxtHandle context;
  bool haveContext = false;
  SecPkgContext_StreamSizes sizes;
  char incoming[kIncomingSize];  // bytes from the socket not yet decrypted
  DWORD incomingUsed = 0;
  char* plain = nullptr;  // decrypted bytes not yet handed out
  DWORD plainOffset = 0;
  DWORD plainLength = 0;
  char* outgoing = nullptr;  // one encrypted record
  bool ended = false;
  bool owesCloseNotify = false;  // established, and nothing failed since
};

namespace {

void Describe(char* detail, size_t size, const char* text, long code) {
  std::snprintf(detail, size, "%s 0x%08lX", text, static_cast<unsigned long>(code));
}

void Release(Credentials* credentials) {
  if (!credentials || --credentials->users > 0) return;
  FreeCredentialsHandle(&credentials->handle);
  if (credentials->roots) CertCloseStore(credentials->roots, 0);
  delete credentials;
}

void ForgetCredentials(TlsClient* client) {
  Release(client->credentials);
  client->credentials = nullptr;
  client->key.Clear();
}

// New credentials for a TLS 1.2 client; nullptr when the system has none.
Credentials* AcquireCredentials(char* detail, size_t size) {
  Credentials* credentials = new (std::nothrow) Credentials;
  if (!credentials) return nullptr;
  SCHANNEL_CRED settings;
  std::memset(&settings, 0, sizeof settings);
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The gateway judges the certificate itself (CheckCertificate), with the
  // system's chain engine, so that TlsCaFile can stand in for the store.
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  SECURITY_STATUS status = AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, &settings,
      nullptr, nullptr, &credentials->handle, nullptr);
  if (status == SEC_E_OK) return credentials;
  Describe(detail, size, "TLS not available: no credentials, status", status);
  delete credentials;
  return nullptr;
}

// The client's credentials, acquired again unless they were acquired for
// these options; a use of them for the caller.
Credentials* CredentialsOf(TlsClient* client, const TlsOptions& options, char* detail,
                           size_t size) {
  if (!client->credentials || !client->key.Fits(options)) {
    ForgetCredentials(client);
    client->credentials = AcquireCredentials(detail, size);
    if (!client->credentials) return nullptr;
    if (!client->key.Remember(options)) {
      ForgetCredentials(client);
      return nullptr;
    }
  }
  ++client->credentials->users;
  return client->credentials;
}

// Waits at most `milliseconds` for something to read.
bool Readable(SOCKET socket, DWORD milliseconds) {
  return WaitForSocket(socket, SocketWait::kReadable, milliseconds) > 0;
}

// What the context asks of each step: the handshake's and the close_notify's.
constexpr DWORD kWanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                          ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                          ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                          ISC_REQ_MANUAL_CRED_VALIDATION;

// A connection that failed is owed no close_notify.
int32_t Broken(TlsSession* session, int error) {
  session->owesCloseNotify = false;
  if (error != 0) WSASetLastError(error);
  return -1;
}

bool SendAll(SOCKET socket, const char* data, DWORD count) {
  for (DWORD sent = 0; sent < count;) {
    int32_t put = SendOnSocket(static_cast<SocketHandle>(socket), data + sent,
                               static_cast<int32_t>(count - sent));
    if (put <= 0) return false;
    sent += static_cast<DWORD>(put);
  }
  return true;
}

// The certificates of a PEM file in a store of their own; nullptr when it
// holds none or cannot be read.
HCERTSTORE LoadPemStore(const char* path) {
  WideText widePath(path);
  FILE* file = widePath.get() ? _wfopen(widePath.get(), L"rb") : nullptr;
  if (!file) return nullptr;
  constexpr size_t kMaxPemFile = 1 << 20;
  char* text = static_cast<char*>(std::malloc(kMaxPemFile + 1));
  size_t length = text ? std::fread(text, 1, kMaxPemFile, file) : 0;
  std::fclose(file);
  if (!text) return nullptr;
  text[length] = '\0';
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int added = 0;
  static const char kEnd[] = "-----END CERTIFICATE-----";
  for (char* begin = std::strstr(text, "-----BEGIN CERTIFICATE-----"); store && begin;
       begin = std::strstr(begin + 1, "-----BEGIN CERTIFICATE-----")) {
    char* end = std::strstr(begin, kEnd);
    if (!end) break;
    DWORD blockLength = static_cast<DWORD>(end + sizeof kEnd - 1 - begin);
    BYTE der[16384];
    DWORD derLength = sizeof der;
    if (CryptStringToBinaryA(begin, blockLength, CRYPT_STRING_BASE64HEADER, der, &derLength,
                             nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derLength,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++added;
    }
  }
  std::free(text);
  if (store && added == 0) {
    CertCloseStore(store, 0);
    store = nullptr;
  }
  return store;
}

// The system's chain engine judges the target's certificate: trusted by the
// Windows store, or, with TlsCaFile, ending in one of its roots; valid now;
// naming `serverName`.
TlsFailure CheckCertificate(TlsSession* session, const TlsOptions& options, char* detail,
                            size_t size) {
  PCCERT_CONTEXT remote = nullptr;
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) !=
          SEC_E_OK ||
      !remote) {
    Describe(detail, size, "no certificate from the target", 0);
    return TlsFailure::kUntrusted;
  }
  HCERTSTORE& roots = session->credentials->roots;
  HCERTSTORE known = remote->hCertStore;  // the target's certificates, intermediates included
  bool own = options.caFile && options.caFile[0];
  TlsFailure result = TlsFailure::kNone;
  if (own) {
    if (!roots) roots = LoadPemStore(options.caFile);
    known = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!roots || !known) {
      Describe(detail, size, "TlsCaFile could not be read", 0);
      result = TlsFailure::kUntrusted;
    } else {
      CertAddStoreToCollection(known, remote->hCertStore, 0, 0);
      CertAddStoreToCollection(known, roots, 0, 0);
    }
  }
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (result == TlsFailure::kNone) {
    static char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    if (!CertGetCertificateChain(nullptr, remote, nullptr, known, &chainPara, 0, nullptr,
                                 &chain)) {
      Describe(detail, size, "no chain", static_cast<long>(GetLastError()));
      result = TlsFailure::kUntrusted;
    }
  }
  if (result == TlsFailure::kNone) {
    wchar_t name[256];
    if (MultiByteToWideChar(CP_ACP, 0, options.serverName, -1, name, 256) == 0) name[0] = L'\0';
    HTTPSPolicyCallbackData https;
    std::memset(&https, 0, sizeof https);
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    https.pwszServerName = name;
    CERT_CHAIN_POLICY_PARA policy;
    std::memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &https;
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (own) {
      // The chain must end in one of the file's roots; the store's trust in
      // that root is then not asked for.
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[chain->cChain - 1];
      PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
      PCCERT_CONTEXT found = CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0,
                                                        CERT_FIND_EXISTING, root, nullptr);
      if (found) {
        CertFreeCertificateContext(found);
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        https.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        policy.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
      } else {
        errors |= CERT_TRUST_IS_UNTRUSTED_ROOT;
      }
    }
    CERT_CHAIN_POLICY_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    // Not every chain engine's SSL policy refuses a chain that stops short of
    // a root (Wine's does not): the chain's own status is asked first.
    const DWORD kUntrusted = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT |
                             CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_REVOKED;
    const char* check = "chain policy";
    if (errors & kUntrusted) {
      check = "chain status";
      status.dwError = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    } else if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy,
                                                 &status)) {
      status.dwError = static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
    }
    // The name must be in a subject alternative name, as browsers ask: the
    // policy looks there when the certificate has any, and otherwise takes
    // the subject's common name, which is never taken for it here.
    if (status.dwError == 0 &&
        !CertFindExtension(szOID_SUBJECT_ALT_NAME2, remote->pCertInfo->cExtension,
                           remote->pCertInfo->rgExtension)) {
      check = "subject alternative name";
      status.dwError = static_cast<DWORD>(CERT_E_CN_NO_MATCH);
    }
    if (status.dwError != 0) {
      Describe(detail, size, check, static_cast<long>(status.dwError));
      result = status.dwError == static_cast<DWORD>(CERT_E_EXPIRED)      ? TlsFailure::kExpired
               : status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) ? TlsFailure::kNameMismatch
                                                                          : TlsFailure::kUntrusted;
    }
  }
  if (chain) CertFreeCertificateChain(chain);
  if (own && known) CertCloseStore(known, 0);
  CertFreeCertificateContext(remote);
  return result;
}

// The handshake, token by token, within `deadline` (GetTickCount64 time).
TlsFailure Handshake(TlsSession* session, const TlsOptions& options, ULONGLONG deadline,
                     char* detail, size_t size) {
  // SNI carries host names only: an address (IPv6 ones hold a ":") is not
  // sent as one.
  unsigned long address = inet_addr(options.serverName);
  bool isAddress = address != INADDR_NONE || std::strchr(options.serverName, ':');
  char* name = isAddress ? nullptr : const_cast<char*>(options.serverName);
  bool first = true;
  for (;;) {
    SecBuffer in[2] = {{session->incomingUsed, SECBUFFER_TOKEN, session->incoming},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    DWORD got = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &session->credentials->handle, first ? nullptr : &session->context, name, kWanted, 0, 0,
        first ? nullptr : &inDesc, 0, first ? &session->context : nullptr, &outDesc, &got,
        nullptr);
    if (first) session->haveContext = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
    first = false;
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
        (FAILED(status) && (got & ISC_RET_EXTENDED_ERROR))) {
      bool sent = out[0].cbBuffer == 0 ||
                  SendAll(session->socket, static_cast<char*>(out[0].pvBuffer), out[0].cbBuffer);
      if (out[0].pvBuffer) FreeContextBuffer(out[0].pvBuffer);
      if (!sent && !FAILED(status)) {
        Describe(detail, size, "send failed, socket error", WSAGetLastError());
        return TlsFailure::kProtocol;
      }
    }
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
      // What the call did not use belongs to the next message.
      DWORD extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
      std::memmove(session->incoming, session->incoming + session->incomingUsed - extra, extra);
      session->incomingUsed = extra;
      if (status == SEC_E_OK) return TlsFailure::kNone;
      if (extra > 0) continue;
    } else if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      continue;  // a client certificate was asked for: go on without one
    } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
      Describe(detail, size, "handshake status", status);
      return TlsFailure::kProtocol;
    }
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      Describe(detail, size, "no handshake within the time allowed", 0);
      return TlsFailure::kTimeout;
    }
    if (!Readable(session->socket, static_cast<DWORD>(deadline - now))) continue;
    if (session->incomingUsed == kIncomingSize) {
      Describe(detail, size, "handshake message too large", 0);
      return TlsFailure::kProtocol;
    }
    int read = recv(session->socket, session->incoming + session->incomingUsed,
                    static_cast<int>(kIncomingSize - session->incomingUsed), 0);
    if (read <= 0) {
      Describe(detail, size, "connection closed during the handshake, socket error",
               read == 0 ? 0 : WSAGetLastError());
      return TlsFailure::kProtocol;
    }
    session->incomingUsed += static_cast<DWORD>(read);
  }
}

}  // namespace

TlsClient* MakeTlsClient() { return new (std::nothrow) TlsClient; }

void EndTlsClient(TlsClient* client) {
  if (!client) return;
  ForgetCredentials(client);
  delete client;
}

TlsSession* StartTls(SocketHandle socket, const TlsOptions& options, TlsClient* client,
                     TlsFailure* failure, char* detail, size_t size) {
  if (size > 0) detail[0] = '\0';
  *failure = TlsFailure::kUnavailable;
  TlsSession* session = new (std::nothrow) TlsSession;
  if (!session) return nullptr;
  session->socket = static_cast<SOCKET>(socket);
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(options.handshakeSeconds) * 1000;
  session->credentials = client ? CredentialsOf(client, options, detail, size)
                                : AcquireCredentials(detail, size);
  if (session->credentials) {
    *failure = Handshake(session, options, deadline, detail, size);
    if (*failure == TlsFailure::kNone && options.verify) {
      *failure = CheckCertificate(session, options, detail, size);
    }
    if (*failure == TlsFailure::kNone &&
        QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) !=
            SEC_E_OK) {
      *failure = TlsFailure::kProtocol;
      Describe(detail, size, "no stream sizes", 0);
    }
  }
  if (*failure == TlsFailure::kNone) {
    const TlsSession& s = *session;
    session->plain = static_cast<char*>(std::malloc(kIncomingSize));
    session->outgoing = static_cast<char*>(
        std::malloc(s.sizes.cbHeader + s.sizes.cbMaximumMessage + s.sizes.cbTrailer));
    session->owesCloseNotify = session->plain && session->outgoing;
    if (session->owesCloseNotify) return session;
    *failure = TlsFailure::kUnavailable;
  }
  // The next connection starts afresh: SChannel's sessions go with the handle.
  if (client && session->credentials == client->credentials) ForgetCredentials(client);
  EndTls(session);
  return nullptr;
}

bool TlsResumed(const TlsSession* session) {
  SecPkgContext_SessionInfo info;
  return QueryContextAttributesA(const_cast<CtxtHandle*>(&session->context),
                                 SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
         (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

int32_t SendOnTls(TlsSession* session, const char* data, int32_t count) {
  const SecPkgContext_StreamSizes& sizes = session->sizes;
  DWORD chunk = static_cast<DWORD>(count) < sizes.cbMaximumMessage
                    ? static_cast<DWORD>(count)
                    : sizes.cbMaximumMessage;
  char* record = session->outgoing;
  std::memcpy(record + sizes.cbHeader, data, chunk);
  SecBuffer parts[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                        {chunk, SECBUFFER_DATA, record + sizes.cbHeader},
                        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + chunk},
                        {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc description = {SECBUFFER_VERSION, 4, parts};
  if (EncryptMessage(&session->context, 0, &description, 0) != SEC_E_OK) {
    return Broken(session, WSAECONNABORTED);
  }
  DWORD total = parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer;
  return SendAll(session->socket, record, total) ? static_cast<int32_t>(chunk) : Broken(session, 0);
}

int32_t ReceiveOnTlsWithoutWaiting(TlsSession* session, char* buffer, int32_t count) {
  for (;;) {
    if (session->plainLength > 0) {
      DWORD take = static_cast<DWORD>(count) < session->plainLength
                       ? static_cast<DWORD>(count)
                       : session->plainLength;
      std::memcpy(buffer, session->plain + session->plainOffset, take);
      session->plainOffset += take;
      session->plainLength -= take;
      return static_cast<int32_t>(take);
    }
    if (session->ended) return 0;
    if (session->incomingUsed > 0) {
      SecBuffer parts[4] = {{session->incomingUsed, SECBUFFER_DATA, session->incoming},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description = {SECBUFFER_VERSION, 4, parts};
      SECURITY_STATUS status = DecryptMessage(&session->context, &description, 0, nullptr);
      if (status == SEC_E_OK) {
        DWORD extra = 0;
        for (const SecBuffer& part : parts) {
          if (part.BufferType == SECBUFFER_DATA) {
            std::memcpy(session->plain, part.pvBuffer, part.cbBuffer);
            session->plainOffset = 0;
            session->plainLength = part.cbBuffer;
          } else if (part.BufferType == SECBUFFER_EXTRA) {
            extra = part.cbBuffer;
          }
        }
        std::memmove(session->incoming, session->incoming + session->incomingUsed - extra, extra);
        session->incomingUsed = extra;
        continue;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {  // the target's close_notify
        session->ended = true;
        return 0;
      }
      if (status != SEC_E_INCOMPLETE_MESSAGE) {
        return Broken(session, WSAECONNABORTED);
      }
    }
    if (session->incomingUsed == kIncomingSize) {
      return Broken(session, WSAECONNABORTED);
    }
    if (!Readable(session->socket, 0)) {
      WSASetLastError(WSAEWOULDBLOCK);
      return -1;
    }
    int read = recv(session->socket, session->incoming + session->incomingUsed,
                    static_cast<int>(kIncomingSize - session->incomingUsed), 0);
    if (read < 0) return Broken(session, 0);
    // A close without close_notify counts as the end; the framing judges it.
    if (read == 0) {
      session->ended = true;
      return 0;
    }
    session->incomingUsed += static_cast<DWORD>(read);
  }
}

void EndTls(TlsSession* session) {
  if (!session) return;
  // One close_notify, without waiting for the target's.
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  SecBuffer token = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
  SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &token};
  if (session->owesCloseNotify && ApplyControlToken(&session->context, &tokenDesc) == SEC_E_OK) {
    SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
    DWORD got = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextA(&session->credentials->handle, &session->context, nullptr,
                                   kWanted, 0, 0, nullptr, 0, nullptr, &outDesc, &got, nullptr);
    if (!FAILED(status) && out.cbBuffer > 0) {
      SendAll(session->socket, static_cast<char*>(out.pvBuffer), out.cbBuffer);
    }
    if (out.pvBuffer) FreeContextBuffer(out.pvBuffer);
  }
  if (session->haveContext) DeleteSecurityContext(&session->context);
  Release(session->credentials);
  std::free(session->plain);
  std::free(session->outgoing);
  delete session;
}

}  // namespace platform
