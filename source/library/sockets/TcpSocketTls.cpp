// TLS on TcpSocket: the process-wide context tables, the pass-phrase
// callback, the server and client set-up of a connection, the handshake step
// that the handler runs on each event, and TLS reads and writes.
//
// Every call into the connection is preceded by ERR_clear_error():
// SSL_get_error() reads the thread's error queue, and an error left there by
// unrelated code would turn a plain "wait for the socket" into a failure.

#include "sockets/TcpSocket.h"

#include "PKI/CryptoInitializer.h"
#include "PKI/OpenSslPtr.h"
#include "base/Mutex.h"
#include "base/MutexLock.h"
#include "platform/path.h"
#include "sockets/ISocketHandler.h"
#include "sockets/WinsockInit.h"

#include <openssl/err.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>

namespace
{

struct ServerContext
{
	SslCtxPtr context;
	// The file whose certificate, key and chain the context holds; empty
	// until one was loaded without failure.
	std::string loadedFile;
};

// Contexts live until process exit; a connection holds its own reference,
// so freeing them at exit never pulls one from under a connection.
struct ContextTables
{
	Mutex serverMutex;
	std::map<std::string, ServerContext> server;
	Mutex clientMutex;
	std::map<std::string, SslCtxPtr> client;
};

ContextTables& Tables()
{
	// The crypto library is started first, so the tables are destroyed
	// before it is shut down.
	CryptoInitializer::Instance();
	static ContextTables tables;
	return tables;
}

// Writes given from the output queue may find the block moved; a write that
// must be repeated is repeated with the same length.
constexpr long kContextModes =
	SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_AUTO_RETRY | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;

SSL_CTX* NewContext(const SSL_METHOD* method)
{
	SSL_CTX* context = SSL_CTX_new(method != nullptr ? method : TLS_method());
	if (context != nullptr)
		SSL_CTX_set_mode(context, kContextModes);
	return context;
}

// The client table's lookup, creating the context when it is absent.
SSL_CTX* ClientContext(const std::string& name, const SSL_METHOD* method)
{
	SslCtxPtr& slot = Tables().client[name];
	if (!slot)
		slot.reset(NewContext(method));
	return slot.get();
}

bool IsWait(int error)
{
	return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

// What a failed call on a connection tells, given SSL_get_error's value: the
// reason OpenSSL queued for it, else the system's error of a failed system
// call.
std::string SslErrorText(int error)
{
	const unsigned long queued = ERR_get_error();
	if (queued != 0)
	{
		char text[256];
		ERR_error_string_n(queued, text, sizeof(text));
		return text;
	}
	if (error == SSL_ERROR_SYSCALL)
		return WinsockErrorText(WSAGetLastError());
	return "SSL_get_error " + std::to_string(error);
}

} // namespace

// ---- contexts ----

void TcpSocket::InitializeContext(const std::string& context, const std::string& keyfile, const std::string& password,
	const SSL_METHOD* method)
{
	ContextTables& tables = Tables();
	MutexLock lock(tables.serverMutex);
	ServerContext& entry = tables.server[context];
	if (!entry.context)
	{
		entry.context.reset(NewContext(method));
		if (!entry.context)
			return;
		const std::string id = context.empty() ? "--empty--" : context;
		SSL_CTX_set_session_id_context(entry.context.get(), reinterpret_cast<const unsigned char*>(id.data()),
			static_cast<unsigned int>(id.size()));
	}
	SSL_CTX* ctx = entry.context.get();
	m_sslContext = ctx;
	// The file is read once per context: later connections share what the
	// first one loaded. A file that failed is tried again by the next one.
	if (!entry.loadedFile.empty() && entry.loadedFile == keyfile)
		return;
	const std::string hostPath = HostPath(keyfile);
	bool loaded = true;
	if (SSL_CTX_use_certificate_file(ctx, hostPath.c_str(), SSL_FILETYPE_PEM) != 1)
	{
		Log("TcpSocket InitializeContext", 0, "Couldn't read certificate file " + keyfile, LOG_LEVEL_FATAL);
		loaded = false;
	}
	m_password = password;
	SSL_CTX_set_default_passwd_cb(ctx, KeyPasswordCallback);
	SSL_CTX_set_default_passwd_cb_userdata(ctx, static_cast<Socket*>(this));
	if (SSL_CTX_use_PrivateKey_file(ctx, hostPath.c_str(), SSL_FILETYPE_PEM) != 1)
	{
		Log("TcpSocket InitializeContext", 0, "Couldn't read private key file " + keyfile, LOG_LEVEL_FATAL);
		loaded = false;
	}
	SSL_CTX_use_certificate_chain_file(ctx, hostPath.c_str());
	// The context outlives this socket: it must not keep pointing at it.
	SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
	ERR_clear_error();
	entry.loadedFile = loaded ? keyfile : std::string();
}

void TcpSocket::InitializeContext(const std::string& context, const SSL_METHOD* method)
{
	ContextTables& tables = Tables();
	MutexLock lock(tables.clientMutex);
	m_sslContext = ClientContext(context, method);
}

void TcpSocket::InitializeContext(const std::string& context, X509* certificate, EVP_PKEY* key,
	const SSL_METHOD* method)
{
	ContextTables& tables = Tables();
	MutexLock lock(tables.clientMutex);
	m_sslContext = ClientContext(context, method);
	if (m_sslContext == nullptr)
		return;
	if (SSL_CTX_use_certificate(m_sslContext, certificate) != 1)
		Log("TcpSocket InitializeContext", 0, "Couldn't read certificate x509 ", LOG_LEVEL_FATAL);
	if (SSL_CTX_use_PrivateKey(m_sslContext, key) != 1)
		Log("TcpSocket InitializeContext", 0, "Couldn't read private key ", LOG_LEVEL_FATAL);
	ERR_clear_error();
}

int TcpSocket::KeyPasswordCallback(char* buf, int size, int, void* userdata)
{
	const auto* socket = dynamic_cast<const TcpSocket*>(static_cast<Socket*>(userdata));
	const std::string password = socket != nullptr ? socket->m_password : std::string();
	if (size < 0 || static_cast<std::size_t>(size) < password.size() + 1)
		return 0;
	std::memcpy(buf, password.c_str(), password.size() + 1);
	return static_cast<int>(password.size());
}

void TcpSocket::InitSSLServer()
{
	Log("InitSSLServer", 0, "You MUST implement your own InitSSLServer method", LOG_LEVEL_FATAL);
	SetCloseAndDelete(true);
}

void TcpSocket::InitSSLClient()
{
	InitializeContext("", TLS_method());
}

SSL_CTX* TcpSocket::GetSslContext()
{
	if (m_sslContext == nullptr)
		Log("GetSslContext", 0, "SSL Context is NULL; check InitSSLServer/InitSSLClient", LOG_LEVEL_WARNING);
	return m_sslContext;
}

SSL* TcpSocket::GetSsl()
{
	if (!m_ssl)
		Log("GetSsl", 0, "SSL is NULL; check InitSSLServer/InitSSLClient", LOG_LEVEL_WARNING);
	return m_ssl.get();
}

// ---- set-up and handshake ----

bool TcpSocket::StartSsl()
{
	m_ssl.reset(SSL_new(m_sslContext));
	BIO* bio = m_ssl ? BIO_new_socket(GetSocket(), BIO_NOCLOSE) : nullptr;
	if (bio == nullptr)
	{
		SetCloseAndDelete(true);
		return false;
	}
	// One BIO for both directions, owned by the connection from here on.
	SSL_set_bio(m_ssl.get(), bio, bio);
	return true;
}

void TcpSocket::FreeSsl()
{
	m_ssl.reset();
	// A write to repeat belonged to that connection.
	m_sslRepeatLength = 0;
	// The context stays in its table; a socket that connects again takes
	// it from there anew.
	m_sslContext = nullptr;
}

void TcpSocket::OnSSLAccept()
{
	SetNonblocking(true);
	if (m_sslContext != nullptr)
	{
		SetCloseAndDelete(true);
		return;
	}
	InitSSLServer();
	SetSSLServer(true);
	if (m_sslContext == nullptr)
	{
		SetCloseAndDelete(true);
		return;
	}
	if (StartSsl())
		SetSSLNegotiating(true);
}

void TcpSocket::OnSSLConnect()
{
	SetNonblocking(true);
	if (m_sslContext != nullptr)
	{
		SetCloseAndDelete(true);
		return;
	}
	InitSSLClient();
	if (m_sslContext == nullptr)
	{
		SetCloseAndDelete(true);
		return;
	}
	if (!StartSsl())
		return;
	if (!SSLNegotiate() && !CloseAndDelete())
		SetSSLNegotiating(true);
}

bool TcpSocket::SSLNegotiate()
{
	if (!m_ssl)
	{
		SetSSLNegotiating(false);
		SetCloseAndDelete(true);
		return false;
	}
	const bool server = IsSSLServer();
	const char* call = server ? "SSLNegotiate/SSL_accept" : "SSLNegotiate/SSL_connect";
	ERR_clear_error();
	const int r = server ? SSL_accept(m_ssl.get()) : SSL_connect(m_ssl.get());
	if (r > 0)
	{
		SetSSLNegotiating(false);
		SetNegotiating(false);
		SetConnected(true);
		if (GetOutputLength() != 0)
			OnWrite();
		else
			Handler().ModifyFdSets(this, true, false);
		if (server)
			OnAccept();
		else if (IsReconnect())
			OnReconnect();
		else
			OnConnect();
		Log(call, 0, "Connection established", LOG_LEVEL_INFO);
		return true;
	}
	int code = 0;
	if (r < 0)
	{
		const int e = SSL_get_error(m_ssl.get(), r);
		if (IsWait(e))
		{
			// A step that could not write all of its flight waits for room,
			// not for the peer, which may be waiting for that very flight.
			Handler().ModifyFdSets(this, true, e == SSL_ERROR_WANT_WRITE);
			SetNegotiating(true);
			return false;
		}
		code = -1;
	}
	Log(call, code, "Connection failed", LOG_LEVEL_INFO);
	SetSSLNegotiating(false);
	SetNegotiating(false);
	SetCloseAndDelete(true);
	// Nothing can be queued for a connection that never stood.
	SetFlushBeforeClose(false);
	if (server)
		OnSSLAcceptFailed();
	else
		OnSSLConnectFailed();
	return false;
}

void TcpSocket::OnSSLNegotiateTimeout()
{
	Log("SSLNegociate", -1, "SSLNegociate timeout", LOG_LEVEL_FATAL);
	SetCloseAndDelete(true);
	SetFlushBeforeClose(false);
	// The handshake is over: a client that connects again must get its
	// connect events, not handshake steps.
	SetSSLNegotiating(false);
	SetNegotiating(false);
	OnSSLConnectFailed();
}

// ---- reads, writes and the end ----

int TcpSocket::ReadSsl(char* buf)
{
	if (!m_ssl)
	{
		NoSslConnection("OnRead(ssl)");
		return 0;
	}
	if (IsSSLNegotiating())
		return 0;
	ERR_clear_error();
	const int n = SSL_read(m_ssl.get(), buf, static_cast<int>(kReadSize));
	if (n > 0)
		return n;
	const int e = SSL_get_error(m_ssl.get(), n);
	// No application data in what arrived (a session ticket, a key update,
	// part of a record): not an end.
	if (e == SSL_ERROR_NONE || IsWait(e))
		return 0;
	if (e == SSL_ERROR_ZERO_RETURN)
	{
		// close_notify: the peer sends no more, but what is queued for it
		// still goes out, followed by ours.
		EndOfInput(kDisconnectCloseNotify);
		return 0;
	}
	Disconnected(kDisconnectTlsReadFailed, e);
	return 0;
}

std::size_t TcpSocket::WriteSsl(const char* data, std::size_t n)
{
	if (!m_ssl)
	{
		NoSslConnection("OnWrite/SSL_write");
		return 0;
	}
	const int asked = m_sslRepeatLength != 0 ? m_sslRepeatLength : static_cast<int>(std::min<std::size_t>(n, INT_MAX));
	ERR_clear_error();
	const int r = SSL_write(m_ssl.get(), data, asked);
	if (r > 0)
	{
		m_sslRepeatLength = 0;
		m_bytesSent += static_cast<std::uint64_t>(r);
		return static_cast<std::size_t>(r);
	}
	const int e = SSL_get_error(m_ssl.get(), r);
	if (IsWait(e))
	{
		// OpenSSL wants the same write repeated.
		m_sslRepeatLength = asked;
		return 0;
	}
	m_sslRepeatLength = 0;
	if (r == 0)
	{
		Disconnected(kDisconnectTlsWriteClosed, 0);
		return 0;
	}
	Log("OnWrite/SSL_write", e, SslErrorText(e), LOG_LEVEL_FATAL);
	Disconnected(kDisconnectTlsWriteFailed, e);
	return 0;
}

bool TcpSocket::SendCloseNotify()
{
	if (!m_ssl || !SSL_is_init_finished(m_ssl.get()) || ConnectionLost() || (GetShutdown() & kShutdownSend))
		return true;
	// close_notify tells the peer that it has had everything. A close that
	// drops queued output (its drain time ran out) must not: without it the
	// peer sees the end as the truncation it is.
	if (GetOutputLength() != 0)
		return true;
	// Sent, and not waiting in OpenSSL's buffer: a second call would read.
	if ((SSL_get_shutdown(m_ssl.get()) & SSL_SENT_SHUTDOWN) && !SSL_want_write(m_ssl.get()))
		return true;
	ERR_clear_error();
	const int r = SSL_shutdown(m_ssl.get());
	return r >= 0 || SSL_get_error(m_ssl.get(), r) != SSL_ERROR_WANT_WRITE;
}
