#include "TlsTestSupport.h"

#include "ClientTestSupport.h"

#include "support/Shell.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <openssl/err.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace
{

const char* const kPythonClient = R"(
import socket, ssl, sys, time
port, size, version, anchor, pause = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], float(sys.argv[5])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.load_verify_locations(anchor)
ctx.minimum_version = ctx.maximum_version = getattr(ssl.TLSVersion, version)
raw = socket.socket()
raw.settimeout(30)
raw.connect(("127.0.0.1", port))
s = ctx.wrap_socket(raw, server_hostname="localhost", suppress_ragged_eofs=False)
version = s.version()
s.sendall(b"big %d\n" % size)
time.sleep(pause)
data = bytearray()
end = "close_notify"
try:
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
except ssl.SSLEOFError:
    end = "ragged end"
expected = bytes(i % 251 for i in range(size))
state = "intact" if data == expected else "cut short" if expected.startswith(data) else "corrupt"
print("received", len(data), state, version, end)
)";

// What the Python client says after asking for 1 MiB and waiting `pause`
// seconds before it reads.
std::string PythonReadsBigReply(unsigned short port, const std::string& version, const std::string& pause)
{
	TempFolder folder;
	const std::string client = folder.Path() + "/client.py";
	std::ofstream(client) << kPythonClient;
	return Shell("timeout 60 python3 " + client + " " + std::to_string(port) + " " + std::to_string(1 << 20) + " " +
		version + " " + TlsFixture("local.pem") + " " + pause);
}

int CountLines(const RecordingLog& log, const std::string& call, const std::string& text)
{
	return static_cast<int>(std::count_if(log.entries.begin(), log.entries.end(),
		[&](const LogEntry& e) { return e.call == call && e.text == text; }));
}

std::string SClient(unsigned short port, const std::string& version, const std::string& input,
	const std::string& extra = "")
{
	return Shell("printf '" + input + "' | timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
		" -" + version + " -ign_eof -servername localhost " + extra);
}

} // namespace

TEST(TcpSocketTls, OpensslClientExchangesLinesOverTls12And13)
{
	ResetTls();
	BackgroundServer server;
	const std::string anchor = " -CAfile " + TlsFixture("local.pem") + " -verify_return_error";
	const std::string v13 = SClient(server.port, "tls1_3", "hello\\nbye\\n", anchor);
	const std::string v12 = SClient(server.port, "tls1_2", "again\\nbye\\n", anchor);
	server.Stop();

	EXPECT_NE(std::string::npos, v13.find("echo:hello\nbye\n")) << v13;
	EXPECT_NE(std::string::npos, v13.find("New, TLSv1.3")) << v13;
	EXPECT_NE(std::string::npos, v13.find("Verify return code: 0 (ok)")) << v13;
	EXPECT_NE(std::string::npos, v12.find("echo:again\nbye\n")) << v12;
	EXPECT_NE(std::string::npos, v12.find("New, TLSv1.2")) << v12;
	EXPECT_EQ(2, CountLines(server.log, "SSLNegotiate/SSL_accept", "Connection established"));
	const LogEntry* established = server.log.Find("Connection established");
	ASSERT_NE(nullptr, established);
	EXPECT_EQ(0, established->code);
	EXPECT_EQ(LOG_LEVEL_INFO, established->level);
	EXPECT_EQ(2, g_events.accepts);
	// Both connections were served by the one context of that name.
	ASSERT_EQ(2u, g_events.serverContexts.size());
	EXPECT_EQ(g_events.serverContexts[0], g_events.serverContexts[1]);
	EXPECT_EQ(2, g_events.serversDestroyed);
}

TEST(TcpSocketTls, ChainAfterTheCertificateIsSentToClients)
{
	ResetTls();
	g_tls.context = "chain";
	g_tls.file = TlsFixture("chain.pem");
	BackgroundServer server;
	const std::string out = SClient(server.port, "tls1_3", "bye\\n",
		"-showcerts -CAfile " + TlsFixture("ca.pem") + " -verify_return_error");
	server.Stop();
	EXPECT_NE(std::string::npos, out.find("Verify return code: 0 (ok)")) << out;
	std::size_t certificates = 0;
	for (std::size_t at = 0; (at = out.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos; ++at)
		++certificates;
	EXPECT_EQ(2u, certificates) << out;
}

// The reply is queued far beyond what the server's small send buffer takes,
// and the close is asked for at once: the whole reply must still arrive,
// followed by close_notify (Python raises on an end without it). The drain
// has 5 seconds from the close request; the client's pause leaves it most.
TEST(TcpSocketTls, LargeReplyThenGracefulCloseReachesPythonWhole)
{
	ResetTls();
	g_tls.serverSendBuffer = 8192;
	BackgroundServer server;
	const std::string v13 = PythonReadsBigReply(server.port, "TLSv1_3", "0");
	// A reader that waits first: writes must wait and be repeated meanwhile.
	const std::string v12 = PythonReadsBigReply(server.port, "TLSv1_2", "0.5");
	server.Stop();
	EXPECT_EQ("received 1048576 intact TLSv1.3 close_notify\n", v13);
	EXPECT_EQ("received 1048576 intact TLSv1.2 close_notify\n", v12);
	EXPECT_EQ(0, server.log.Count("Closing socket while data still left to send"));
	EXPECT_EQ(2, g_events.serversDestroyed);
}

// A reader that does not read within the drain time loses the rest of the
// reply: it must learn so from the missing close_notify, not take the part
// it got for the whole.
TEST(TcpSocketTls, ReplyCutOffAfterTheDrainTimeEndsWithoutCloseNotify)
{
	ResetTls();
	g_tls.serverSendBuffer = 8192;
	BackgroundServer server;
	const std::string out = PythonReadsBigReply(server.port, "TLSv1_3", "7");
	server.Stop();
	EXPECT_NE(std::string::npos, out.find(" cut short TLSv1.3 ragged end\n")) << out;
	EXPECT_EQ(1, server.log.Count("Closing socket while data still left to send"));
	EXPECT_EQ(1, g_events.serversDestroyed);
}

TEST(TcpSocketTls, OurClientAgainstOurServer)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	g_tls.greeting = "bye";
	StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.clientsDestroyed == 1 && g_events.serversDestroyed == 1; }));
	EXPECT_EQ(1, g_events.connects);
	EXPECT_EQ(1, g_events.accepts);
	EXPECT_EQ(std::vector<std::string>{"bye"}, g_events.serverLines);
	EXPECT_EQ(std::vector<std::string>{"bye"}, g_events.clientLines);
	EXPECT_EQ(1, CountLines(log, "SSLNegotiate/SSL_connect", "Connection established"));
	EXPECT_EQ(1, CountLines(log, "SSLNegotiate/SSL_accept", "Connection established"));
	// The server's close_notify ended the client's side cleanly (reason 4)
	// or the client closed first after "bye": never a TLS read failure.
	for (int d : g_events.clientDisconnects)
		EXPECT_EQ(4 * 100000, d);
}

// A client that reconnects after the server closed shakes hands again and
// hears OnReconnect.
TEST(TcpSocketTls, ReconnectingClientNegotiatesAgain)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	g_tls.greeting = "bye";
	TlsClientSocket client(handler);
	client.EnableSSL(true);
	client.SetReconnectEnabled(true);
	ASSERT_TRUE(client.Open("127.0.0.1", listener->GetPort()));
	handler.Add(&client);
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.reconnects == 1 && g_events.accepts == 2; }));
	EXPECT_EQ(1, g_events.connects);
	EXPECT_EQ(2, CountLines(log, "SSLNegotiate/SSL_connect", "Connection established"));
	client.SetReconnectEnabled(false);
}

// A server that accepts and never answers: the handshake times out, the
// client connects again and starts a new handshake on the new connection.
TEST(TcpSocketTls, ReconnectAfterAHandshakeTimeOutShakesHandsAgain)
{
	ResetTls();
	g_tls.negotiateTimeout = 1;
	RawListener silent;
	RecordingLog log;
	SocketHandler handler(&log);
	TlsClientSocket client(handler);
	client.EnableSSL(true);
	client.SetReconnectEnabled(true);
	ASSERT_TRUE(client.Open("127.0.0.1", silent.port));
	handler.Add(&client);
	std::vector<int> peers;
	int hellos = 0;
	RunUntil(handler, [&] {
		for (int fd; (fd = silent.TryAccept()) >= 0;)
			peers.push_back(fd);
		hellos = 0;
		for (int fd : peers)
		{
			char first = 0;
			if (::recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && first == 0x16)
				++hellos;
		}
		return hellos >= 2;
	}, 15);
	EXPECT_GE(hellos, 2);
	EXPECT_GE(g_events.clientConnectFailed, 1);
	EXPECT_GE(log.Count("SSLNegociate timeout"), 1);
	client.SetReconnectEnabled(false);
	for (int fd : peers)
		::close(fd);
}

TEST(TcpSocketTls, OurClientAgainstOpensslServer)
{
	TempFolder folder;
	const std::string cert = folder.Path() + "/cert.pem";
	ASSERT_EQ("", Shell("openssl x509 -in " + TlsFixture("local.pem") + " -out " + cert));
	for (const char* version : {"-tls1_3", "-tls1_2"})
	{
		ResetTls();
		std::unique_ptr<FILE, decltype(&pclose)> server(
			popen(("timeout 30 openssl s_server -accept 127.0.0.1:0 -naccept 1 -rev " + std::string(version) +
					  " -cert " + cert + " -key " + TlsFixture("local.pem") + " -pass pass:61937 </dev/null 2>&1")
					  .c_str(),
				"r"),
			pclose);
		ASSERT_TRUE(server);
		char line[256];
		unsigned port = 0;
		while (port == 0 && std::fgets(line, sizeof(line), server.get()) != nullptr)
			std::sscanf(line, "ACCEPT 127.0.0.1:%u", &port);
		ASSERT_NE(0u, port);

		RecordingLog log;
		SocketHandler handler(&log);
		g_tls.greeting = "olleh";
		StartClient(handler, static_cast<unsigned short>(port));
		// s_server reverses each line it gets.
		ASSERT_TRUE(RunUntil(handler, [] { return !g_events.clientLines.empty(); })) << version;
		EXPECT_EQ(std::vector<std::string>{"hello"}, g_events.clientLines);
		EXPECT_EQ(1, CountLines(log, "SSLNegotiate/SSL_connect", "Connection established"));
	}
}

TEST(TcpSocketTls, WrongPassPhraseAndMissingFileFailEveryHandshake)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	g_tls.context = "wrong pass phrase";
	g_tls.password = "00000";
	StartClient(handler, listener->GetPort());
	StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.serversDestroyed == 2 && g_events.clientsDestroyed == 2; }));
	const std::string keyLine = "Couldn't read private key file " + g_tls.file;
	// Every connection tries the file again and fails again.
	EXPECT_EQ(2, CountLines(log, "TcpSocket InitializeContext", keyLine));
	EXPECT_EQ(LOG_LEVEL_FATAL, log.Find(keyLine)->level);
	EXPECT_EQ(0, log.Count("Couldn't read certificate file " + g_tls.file));
	EXPECT_EQ(2, CountLines(log, "SSLNegotiate/SSL_accept", "Connection failed"));
	EXPECT_EQ(2, g_events.acceptFailed);
	EXPECT_EQ(2, g_events.clientConnectFailed);
	EXPECT_EQ(0, g_events.accepts + g_events.connects);

	log.entries.clear();
	g_tls.context = "missing file";
	g_tls.file = "/nonexistent/cert/local.pem";
	StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.serversDestroyed == 3 && g_events.clientsDestroyed == 3; }));
	EXPECT_EQ(1, log.Count("Couldn't read certificate file /nonexistent/cert/local.pem"));
	EXPECT_EQ(1, log.Count("Couldn't read private key file /nonexistent/cert/local.pem"));
	EXPECT_EQ(3, g_events.acceptFailed);
	const LogEntry* failed = log.Find("Connection failed");
	ASSERT_NE(nullptr, failed);
	EXPECT_EQ(-1, failed->code);
	EXPECT_EQ(LOG_LEVEL_INFO, failed->level);
}

TEST(TcpSocketTls, CertificateFileIsReadOncePerContext)
{
	ResetTls();
	TempFolder folder;
	g_tls.context = "read once";
	g_tls.file = folder.Path() + "/local.pem";
	std::filesystem::copy_file(TlsFixture("local.pem"), g_tls.file);
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	g_tls.greeting = "bye";
	StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.clientsDestroyed == 1; }));
	// Gone from the disk, still in the context.
	std::filesystem::remove(g_tls.file);
	StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.clientsDestroyed == 2; }));
	EXPECT_EQ(2, g_events.connects);
	EXPECT_EQ(2, g_events.accepts);
	EXPECT_EQ(0, log.Count("Couldn't read certificate file " + g_tls.file));
}

// A program path in Windows form reaches OpenSSL as a host path.
TEST(TcpSocketTls, CertificatePathInProgramFormIsMapped)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	TlsServerSocket socket(handler);
	std::string windowsForm = TlsFixture("local.pem");
	std::replace(windowsForm.begin(), windowsForm.end(), '/', '\\');
	socket.Load("program form", windowsForm, "61937");
	EXPECT_TRUE(log.entries.empty());
	ASSERT_NE(nullptr, socket.GetSslContext());
	EXPECT_NE(nullptr, SSL_CTX_get0_certificate(socket.GetSslContext()));
}

// Debian's OpenSSL runs at security level 2: an RSA key below 2048 bits, or
// a certificate signed with SHA-1 by its issuer, is refused.
TEST(TcpSocketTls, SecurityLevelTwoRefusesWeakCertificates)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	for (const char* name : {"weak.pem", "sha1.pem"})
	{
		TlsServerSocket socket(handler);
		socket.Load(name, TlsFixture(name), "61937");
		EXPECT_EQ(1, log.Count("Couldn't read certificate file " + TlsFixture(name))) << name;
		EXPECT_EQ(2, SSL_CTX_get_security_level(socket.GetSslContext()));
	}
}

TEST(TcpSocketTls, StalledHandshakeTimesOutSilentClientIsLeftAlone)
{
	ResetTls();
	g_tls.negotiateTimeout = 2;
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	const int silent = ConnectLoopback(listener->GetPort());
	const int stalled = ConnectLoopback(listener->GetPort());
	// The first five bytes of a ClientHello record, and nothing more.
	ASSERT_EQ(5, ::send(stalled, "\x16\x03\x01\x02\x00", 5, 0));
	const auto start = std::chrono::steady_clock::now();
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.serversDestroyed == 1; }, 15));
	const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	EXPECT_GE(waited, 1.0);
	const LogEntry* timeout = log.Find("SSLNegociate timeout");
	ASSERT_NE(nullptr, timeout);
	EXPECT_EQ("SSLNegociate", timeout->call);
	EXPECT_EQ(-1, timeout->code);
	EXPECT_EQ(LOG_LEVEL_FATAL, timeout->level);
	EXPECT_EQ(1, g_events.serverConnectFailed);
	char byte;
	EXPECT_EQ(0, ::recv(stalled, &byte, 1, 0));

	// The silent one outlives several time-outs.
	RunUntil(handler, [] { return false; }, 3.5);
	EXPECT_EQ(1, g_events.serversDestroyed);
	EXPECT_EQ(1, log.Count("SSLNegociate timeout"));
	EXPECT_EQ(-1, ::recv(silent, &byte, 1, MSG_DONTWAIT));
	::close(silent);
	::close(stalled);
}

// The server's whole first flight (a long chain) does not fit in the socket
// buffers: the handshake goes on as the client makes room.
TEST(TcpSocketTls, HandshakeThatMustWaitToWriteCompletes)
{
	ResetTls();
	TempFolder folder;
	g_tls.context = "long chain";
	g_tls.file = folder.Path() + "/long.pem";
	{
		std::ofstream out(g_tls.file);
		out << std::ifstream(TlsFixture("local.pem")).rdbuf();
		for (int i = 0; i < 60; ++i)
			out << std::ifstream(TlsFixture("ca.pem")).rdbuf();
	}
	g_tls.serverSendBuffer = 4096;
	g_tls.greeting = "bye";
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	StartClient(handler, listener->GetPort(), 4096);
	// Well within the handshake time-out (30 s) that a stall would wait for.
	EXPECT_TRUE(RunUntil(handler, [] { return g_events.clientsDestroyed == 1; }, 20));
	EXPECT_EQ(1, g_events.connects);
	EXPECT_EQ(std::vector<std::string>{"bye"}, g_events.clientLines);
}

// Code elsewhere on the loop's thread may leave an error in OpenSSL's queue;
// it must not turn a read that waits for the rest of a record into a failure.
TEST(TcpSocketTls, StaleErrorOnTheThreadDoesNotFailARead)
{
	ResetTls();
	TempFolder folder;
	const std::string script = folder.Path() + "/split.py";
	std::ofstream(script) << R"(
import socket, ssl, sys, time
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
def pump():
    sock.sendall(outgoing.read())
    chunk = sock.recv(65536)
    if not chunk:
        print("closed")
        sys.exit()
    incoming.write(chunk)
while True:
    try:
        tls.do_handshake()
        break
    except ssl.SSLWantReadError:
        pump()
sock.sendall(outgoing.read())
tls.write(b"stale\n")
sock.sendall(outgoing.read())
time.sleep(0.3)
tls.write(b"split\n")
record = outgoing.read()
sock.sendall(record[:3])
time.sleep(0.5)
sock.sendall(record[3:])
reply = b""
while not reply.endswith(b"\n"):
    try:
        reply += tls.read()
    except ssl.SSLWantReadError:
        pump()
print(reply.decode().strip())
)";
	BackgroundServer server;
	const std::string out = Shell("timeout 30 python3 " + script + " " + std::to_string(server.port));
	server.Stop();
	EXPECT_EQ("echo:split\n", out);
	EXPECT_EQ((std::vector<std::string>{"stale", "split"}), g_events.serverLines);
}

// Key updates (TLS 1.3) arrive on an established connection without
// application data: the reads that carry them are no end and no failure.
TEST(TcpSocketTls, KeyUpdatesKeepTheConnection)
{
	ResetTls();
	g_tls.greeting = "";
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	TlsClientSocket* client = StartClient(handler, listener->GetPort());
	ASSERT_TRUE(RunUntil(handler, [] { return g_events.accepts == 1 && g_events.connects == 1; }));
	for (int i = 0; i < 3; ++i)
	{
		SSL* ssl = client->GetSsl();
		ASSERT_EQ(1, SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED));
		ASSERT_EQ(1, SSL_do_handshake(ssl));
		RunUntil(handler, [] { return false; }, 0.2);
		client->Send("line " + std::to_string(i) + "\n");
		ASSERT_TRUE(RunUntil(handler, [&] { return g_events.clientLines.size() == static_cast<std::size_t>(i + 1); }));
	}
	EXPECT_EQ((std::vector<std::string>{"echo:line 0", "echo:line 1", "echo:line 2"}), g_events.clientLines);
	EXPECT_TRUE(g_events.clientDisconnects.empty());
}

// Many handshakes in a row: every connection object is destroyed (the
// sanitizer build also checks that no SSL, BIO or context leaks).
TEST(TcpSocketTls, ManyHandshakesInARow)
{
	ResetTls();
	g_tls.greeting = "bye";
	RecordingLog log;
	SocketHandler handler(&log);
	auto listener = TlsListener(handler);
	constexpr int kRounds = 40;
	for (int i = 1; i <= kRounds; ++i)
	{
		StartClient(handler, listener->GetPort());
		ASSERT_TRUE(RunUntil(handler, [&] { return g_events.clientsDestroyed == i && g_events.serversDestroyed == i; }));
	}
	EXPECT_EQ(kRounds, g_events.accepts);
	EXPECT_EQ(kRounds, g_events.connects);
	EXPECT_EQ(kRounds, CountLines(log, "SSLNegotiate/SSL_accept", "Connection established"));
	EXPECT_EQ(1u, handler.GetSocketCount());
}

TEST(TcpSocketTls, MisuseIsLoggedAndClosed)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	SocketPair pair;
	// No server set-up of its own.
	int deleted = 0;
	RecordingSocket* plain = Attached(handler, pair.fd[0], &deleted);
	plain->EnableSSL(true);
	handler.Add(plain);
	plain->OnSSLAccept();
	EXPECT_TRUE(plain->CloseAndDelete());
	const LogEntry* missing = log.Find("You MUST implement your own InitSSLServer method");
	ASSERT_NE(nullptr, missing);
	EXPECT_EQ("InitSSLServer", missing->call);
	EXPECT_EQ(LOG_LEVEL_FATAL, missing->level);
	EXPECT_EQ(nullptr, plain->GetSslContext());
	EXPECT_EQ(nullptr, plain->GetSsl());
	EXPECT_EQ(1, log.Count("SSL Context is NULL; check InitSSLServer/InitSSLClient"));
	EXPECT_EQ(1, log.Count("SSL is NULL; check InitSSLServer/InitSSLClient"));
	handler.Select(0, 0);
	EXPECT_EQ(0u, handler.GetSocketCount());
}

// The agent's certificate file as the set-up script writes it, with mkcert's
// authority when mkcert is installed and self-signed without it: RSA 2048,
// SHA-256, both names, the key under the agent's pass phrase, and accepted
// by a verifying client that trusts the issuer.
TEST(TcpSocketTls, LocalCertificateScriptWritesAUsableFile)
{
	const bool haveMkcert = Shell("command -v mkcert") != "";
	for (const bool useMkcert : {false, true})
	{
		if (useMkcert && !haveMkcert)
			continue;
		TempFolder folder;
		const std::string env = "CAROOT=" + folder.Path() + "/ca MKCERT=" + (useMkcert ? "mkcert" : "/nonexistent");
		const std::string out =
			Shell(env + " bash " + std::string(ZC_SOURCE_DIR) + "/scripts/make-local-cert.sh " + folder.Path());
		const std::string file = folder.Path() + "/cert/local.pem";
		ASSERT_EQ(0u, out.find("wrote " + file)) << out;
		const std::string text = Shell("openssl x509 -in " + file + " -noout -text");
		EXPECT_NE(std::string::npos, text.find("Public-Key: (2048 bit)")) << text;
		EXPECT_NE(std::string::npos, text.find("Signature Algorithm: sha256WithRSAEncryption")) << text;
		EXPECT_NE(std::string::npos, text.find("DNS:localhost, IP Address:127.0.0.1")) << text;
		// The key is encrypted: another pass phrase does not open it.
		EXPECT_NE("", Shell("openssl pkey -in " + file + " -passin pass:00000 -noout"));

		ResetTls();
		g_tls.context = useMkcert ? "mkcert" : "self-signed";
		g_tls.file = file;
		BackgroundServer server;
		const std::string anchor = useMkcert ? folder.Path() + "/ca/rootCA.pem" : file;
		const std::string v = SClient(server.port, "tls1_3", "bye\\n",
			"-CAfile " + anchor + " -verify_return_error -verify_hostname localhost -verify_ip 127.0.0.1");
		server.Stop();
		EXPECT_NE(std::string::npos, v.find("Verify return code: 0 (ok)")) << v;
		EXPECT_EQ(1, g_events.accepts);
		// Loaded under the agent's pass phrase: nothing logged but the handshake.
		EXPECT_EQ(1u, server.log.entries.size());
		EXPECT_EQ(1, CountLines(server.log, "SSLNegotiate/SSL_accept", "Connection established"));
	}
}
