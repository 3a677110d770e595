#include "TlsTestSupport.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace
{

const auto npos = std::string::npos;
using Lines = std::vector<std::string>;

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
std::string PythonReadsBigReply(TlsLoop& loop, const std::string& version, const std::string& pause)
{
	TempFolder folder;
	const std::string client = folder.Path() + "/client.py";
	std::ofstream(client) << kPythonClient;
	return loop.Peer("timeout 60 python3 " + client + " " + std::to_string(loop.port) + " " +
		std::to_string(1 << 20) + " " + version + " " + TlsFixture("local.pem") + " " + pause);
}

std::string SClient(TlsLoop& loop, const std::string& version, const std::string& input, const std::string& extra = "")
{
	return loop.Peer("printf '" + input + "' | timeout 30 openssl s_client -connect 127.0.0.1:" +
		std::to_string(loop.port) + " -" + version + " -ign_eof -servername localhost " + extra);
}

const std::string kEstablished = "Connection established";
const std::string kAccept = "SSLNegotiate/SSL_accept", kConnect = "SSLNegotiate/SSL_connect";

} // namespace

// openssl s_client over TLS 1.3 and 1.2, verifying the test certificate, the
// test chain, and the agent's file as the set-up script writes it (mkcert's
// authority when mkcert is installed, else self-signed): RSA 2048, SHA-256,
// both names, the key under the agent's pass phrase, the chain sent after the
// certificate, one context for the connections of a name.
TEST(TcpSocketTls, OpensslClientExchangesLinesOverTls12And13)
{
	const bool haveMkcert = Shell("command -v mkcert") != "";
	for (const std::string kind : {"tests", "chain", "self-signed", "mkcert"})
	{
		if (kind == "mkcert" && !haveMkcert)
			continue;
		SCOPED_TRACE(kind);
		ResetTls();
		g_tls.context = kind;
		g_tls.file = TlsFixture(kind == "chain" ? "chain.pem" : "local.pem");
		std::string anchor = kind == "chain" ? TlsFixture("ca.pem") : g_tls.file;
		TempFolder folder;
		if (kind == "self-signed" || kind == "mkcert")
		{
			const std::string env = "CAROOT=" + folder.Path() + "/ca MKCERT=" + (kind == "mkcert" ? "mkcert" : "/none");
			const std::string out =
				Shell(env + " bash " + std::string(ZC_SOURCE_DIR) + "/scripts/make-local-cert.sh " + folder.Path());
			g_tls.file = folder.Path() + "/cert/local.pem";
			anchor = kind == "mkcert" ? folder.Path() + "/ca/rootCA.pem" : g_tls.file;
			ASSERT_EQ(0u, out.find("wrote " + g_tls.file)) << out;
			const std::string text = Shell("openssl x509 -in " + g_tls.file + " -noout -text");
			EXPECT_NE(npos, text.find("Public-Key: (2048 bit)")) << text;
			EXPECT_NE(npos, text.find("Signature Algorithm: sha256WithRSAEncryption")) << text;
			EXPECT_NE(npos, text.find("DNS:localhost, IP Address:127.0.0.1")) << text;
			// The key is encrypted: another pass phrase does not open it.
			EXPECT_NE("", Shell("openssl pkey -in " + g_tls.file + " -passin pass:00000 -noout"));
		}
		TlsLoop server;
		for (const std::string version : {"1.3", "1.2"})
		{
			const std::string out = SClient(server, "tls1_" + version.substr(2), "hello " + version + "\\nbye\\n",
				"-showcerts -CAfile " + anchor + " -verify_return_error -verify_hostname localhost -verify_ip 127.0.0.1");
			EXPECT_NE(npos, out.find("echo:hello " + version + "\nbye\n")) << out;
			EXPECT_NE(npos, out.find("New, TLSv" + version)) << out;
			EXPECT_NE(npos, out.find("Verify return code: 0 (ok)")) << out;
			std::size_t certificates = 0;
			for (std::size_t at = 0; (at = out.find("-----BEGIN CERTIFICATE-----", at)) != npos; ++at)
				++certificates;
			EXPECT_EQ(kind == "chain" ? 2u : 1u, certificates) << out;
		}
		// Loaded under the pass phrase: nothing logged but the handshakes.
		EXPECT_EQ(2u, server.log.entries.size());
		EXPECT_EQ(2, server.log.Count(kEstablished, kAccept));
		EXPECT_EQ(kAccept + " 0 INFO", server.log.Line(kEstablished));
		EXPECT_EQ(2, g_events.accepts);
		ASSERT_EQ(2u, g_events.serverContexts.size());
		EXPECT_EQ(g_events.serverContexts[0], g_events.serverContexts[1]);
		EXPECT_EQ(2, g_events.serversDestroyed);
	}
}

// The reply is queued far beyond what the server's small send buffer takes,
// and the close is asked for at once: the whole reply must still arrive,
// followed by close_notify (Python raises on an end without it), also to a
// reader that waits first (writes must wait and be repeated). A reader that
// does not read within the 5-second drain time loses the rest of the reply:
// it must learn so from the missing close_notify, not take the part for the whole.
TEST(TcpSocketTls, LargeReplyThenGracefulCloseReachesPythonWholeOrVisiblyCut)
{
	ResetTls();
	g_tls.serverSendBuffer = 8192;
	TlsLoop server;
	EXPECT_EQ("received 1048576 intact TLSv1.3 close_notify\n", PythonReadsBigReply(server, "TLSv1_3", "0"));
	EXPECT_EQ("received 1048576 intact TLSv1.2 close_notify\n", PythonReadsBigReply(server, "TLSv1_2", "0.5"));
	const std::string cut = PythonReadsBigReply(server, "TLSv1_3", "7");
	EXPECT_NE(npos, cut.find(" cut short TLSv1.3 ragged end\n")) << cut;
	EXPECT_EQ(1, server.log.Count("Closing socket while data still left to send"));
	EXPECT_EQ(3, g_events.serversDestroyed);
}

// Many handshakes in a row on one context, whose file is gone after the
// first: each connection object is destroyed (the sanitizer build also sees
// SSL, BIO or context leaks), and the server's close_notify ends the client's
// side cleanly (reason 4), never as a TLS read failure.
TEST(TcpSocketTls, ManyHandshakesInARowOnAContextReadOnceAndAReconnect)
{
	ResetTls();
	TempFolder folder;
	g_tls.context = "read once";
	g_tls.file = folder.Path() + "/local.pem";
	std::filesystem::copy_file(TlsFixture("local.pem"), g_tls.file);
	g_tls.greeting = "bye";
	TlsLoop loop;
	constexpr int kRounds = 40;
	for (int i = 1; i <= kRounds; ++i)
	{
		loop.Client();
		ASSERT_TRUE(loop.Until([&] { return g_events.clientsDestroyed == i && g_events.serversDestroyed == i; }));
		std::filesystem::remove(g_tls.file);
	}
	EXPECT_EQ(kRounds, g_events.accepts);
	EXPECT_EQ(kRounds, g_events.connects);
	EXPECT_EQ(kRounds, loop.log.Count(kEstablished, kAccept));
	EXPECT_EQ(kRounds, loop.log.Count(kEstablished, kConnect));
	EXPECT_EQ(0, loop.log.Count("Couldn't read certificate file " + g_tls.file));
	EXPECT_EQ(Lines(kRounds, "bye"), g_events.serverLines);
	EXPECT_EQ(Lines(kRounds, "bye"), g_events.clientLines);
	for (int d : g_events.clientDisconnects)
		EXPECT_EQ(TcpSocket::kDisconnectCloseNotify * 100000, d);
	EXPECT_EQ(1u, loop.handler.GetSocketCount());

	// A client that reconnects after the server closed shakes hands again
	// and hears OnReconnect.
	TlsClientSocket client(loop.handler);
	client.EnableSSL(true);
	client.SetReconnectEnabled(true);
	ASSERT_TRUE(client.Open("127.0.0.1", loop.port));
	loop.handler.Add(&client);
	ASSERT_TRUE(loop.Until([] { return g_events.reconnects == 1 && g_events.accepts == kRounds + 2; }));
	EXPECT_EQ(kRounds + 1, g_events.connects);
	EXPECT_EQ(kRounds + 2, loop.log.Count(kEstablished, kConnect));
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
	TurnUntil(handler, [&] {
		for (int fd; (fd = silent.TryAccept()) >= 0;)
			peers.push_back(fd);
		hellos = 0;
		char first = 0;
		for (int fd : peers)
			hellos += ::recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1 && first == 0x16;
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
	for (const std::string version : {"-tls1_3", "-tls1_2"})
	{
		SCOPED_TRACE(version);
		ResetTls();
		std::unique_ptr<FILE, decltype(&pclose)> server(
			popen(("timeout 30 openssl s_server -accept 127.0.0.1:0 -naccept 1 -rev " + version + " -cert " + cert +
					  " -key " + TlsFixture("local.pem") + " -pass pass:61937 </dev/null 2>&1")
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
		ASSERT_TRUE(TurnUntil(handler, [] { return !g_events.clientLines.empty(); }));
		EXPECT_EQ(Lines{"hello"}, g_events.clientLines);
		EXPECT_EQ(1, log.Count(kEstablished, kConnect));
	}
}

TEST(TcpSocketTls, WrongPassPhraseAndMissingFileFailEveryHandshake)
{
	ResetTls();
	g_tls.context = "wrong pass phrase";
	g_tls.password = "00000";
	TlsLoop loop;
	loop.Client();
	loop.Client();
	ASSERT_TRUE(loop.Until([] { return g_events.serversDestroyed == 2 && g_events.clientsDestroyed == 2; }));
	const std::string keyLine = "Couldn't read private key file " + g_tls.file;
	// Every connection tries the file again and fails again.
	EXPECT_EQ(2, loop.log.Count(keyLine, "TcpSocket InitializeContext"));
	EXPECT_EQ(LOG_LEVEL_FATAL, loop.log.Find(keyLine)->level);
	EXPECT_EQ(0, loop.log.Count("Couldn't read certificate file " + g_tls.file));
	EXPECT_EQ(2, loop.log.Count("Connection failed", kAccept));
	EXPECT_EQ(2, g_events.acceptFailed);
	EXPECT_EQ(2, g_events.clientConnectFailed);
	EXPECT_EQ(0, g_events.accepts + g_events.connects);

	loop.log.entries.clear();
	g_tls.context = "missing file";
	g_tls.file = "/nonexistent/cert/local.pem";
	loop.Client();
	ASSERT_TRUE(loop.Until([] { return g_events.serversDestroyed == 3 && g_events.clientsDestroyed == 3; }));
	EXPECT_EQ(1, loop.log.Count("Couldn't read certificate file /nonexistent/cert/local.pem"));
	EXPECT_EQ(1, loop.log.Count("Couldn't read private key file /nonexistent/cert/local.pem"));
	EXPECT_EQ(3, g_events.acceptFailed);
	EXPECT_EQ(kAccept + " -1 INFO", loop.log.Line("Connection failed"));
}

// A program path in Windows form reaches OpenSSL as a host path. Debian's
// OpenSSL runs at security level 2: an RSA key below 2048 bits, or a
// certificate signed with SHA-1 by its issuer, is refused.
TEST(TcpSocketTls, ProgramFormPathsLoadAndWeakCertificatesAreRefused)
{
	ResetTls();
	RecordingLog log;
	SocketHandler handler(&log);
	std::string windowsForm = TlsFixture("local.pem");
	std::replace(windowsForm.begin(), windowsForm.end(), '/', '\\');
	for (const std::string& file : {windowsForm, TlsFixture("weak.pem"), TlsFixture("sha1.pem")})
	{
		SCOPED_TRACE(file);
		log.entries.clear();
		TlsServerSocket socket(handler);
		socket.Load(file, file, "61937");
		ASSERT_NE(nullptr, socket.GetSslContext());
		EXPECT_EQ(2, SSL_CTX_get_security_level(socket.GetSslContext()));
		if (file != windowsForm)
			EXPECT_EQ(1, log.Count("Couldn't read certificate file " + file));
		else
		{
			EXPECT_TRUE(log.entries.empty());
			EXPECT_NE(nullptr, SSL_CTX_get0_certificate(socket.GetSslContext()));
		}
	}
}

TEST(TcpSocketTls, StalledHandshakeTimesOutSilentClientIsLeftAlone)
{
	ResetTls();
	g_tls.negotiateTimeout = 2;
	TlsLoop loop;
	const int silent = ConnectLoopback(loop.port);
	const int stalled = ConnectLoopback(loop.port);
	// The first five bytes of a ClientHello record, and nothing more.
	ASSERT_EQ(5, ::send(stalled, "\x16\x03\x01\x02\x00", 5, 0));
	const auto start = std::chrono::steady_clock::now();
	ASSERT_TRUE(loop.Until([] { return g_events.serversDestroyed == 1; }, 15));
	EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
	EXPECT_EQ("SSLNegociate -1 FATAL", loop.log.Line("SSLNegociate timeout"));
	EXPECT_EQ(1, g_events.serverConnectFailed);
	char byte;
	EXPECT_EQ(0, ::recv(stalled, &byte, 1, 0));

	// The silent one outlives several time-outs.
	loop.Until([] { return false; }, 3.5);
	EXPECT_EQ(1, g_events.serversDestroyed);
	EXPECT_EQ(1, loop.log.Count("SSLNegociate timeout"));
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
	TlsLoop loop;
	loop.Client(4096);
	// Well within the handshake time-out (30 s) that a stall would wait for.
	EXPECT_TRUE(loop.Until([] { return g_events.clientsDestroyed == 1; }, 20));
	EXPECT_EQ(1, g_events.connects);
	EXPECT_EQ(Lines{"bye"}, g_events.clientLines);
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
	TlsLoop server;
	const std::string out = server.Peer("timeout 30 python3 " + script + " " + std::to_string(server.port));
	EXPECT_EQ("echo:split\n", out);
	EXPECT_EQ((Lines{"stale", "split"}), g_events.serverLines);
}

// Key updates (TLS 1.3) arrive on an established connection without
// application data: the reads that carry them are no end and no failure.
TEST(TcpSocketTls, KeyUpdatesKeepTheConnection)
{
	ResetTls();
	g_tls.greeting = "";
	TlsLoop loop;
	TlsClientSocket* client = loop.EstablishedClient();
	for (std::size_t i = 0; i < 3; ++i)
	{
		ASSERT_EQ(1, SSL_key_update(client->GetSsl(), SSL_KEY_UPDATE_REQUESTED));
		ASSERT_EQ(1, SSL_do_handshake(client->GetSsl()));
		loop.Until([] { return false; }, 0.2);
		client->Send("line " + std::to_string(i) + "\n");
		ASSERT_TRUE(loop.Until([&] { return g_events.clientLines.size() == i + 1; }));
	}
	EXPECT_EQ((Lines{"echo:line 0", "echo:line 1", "echo:line 2"}), g_events.clientLines);
	EXPECT_TRUE(g_events.clientDisconnects.empty());
}

// A TLS write that fails (here one after our close_notify) is logged with
// OpenSSL's reason, and reported as that failure.
TEST(TcpSocketTls, FailedWriteIsLoggedWithOpensslsReason)
{
	ResetTls();
	g_tls.greeting = "";
	TlsLoop loop;
	TlsClientSocket* client = loop.EstablishedClient();
	ASSERT_TRUE(client->SendCloseNotify());
	client->Send("late\n");
	const auto& entries = loop.log.entries;
	const auto failure =
		std::find_if(entries.begin(), entries.end(), [](const LogEntry& e) { return e.call == "OnWrite/SSL_write"; });
	ASSERT_NE(entries.end(), failure);
	EXPECT_NE(npos, failure->text.find("protocol is shutdown")) << failure->text;
	EXPECT_EQ(SSL_ERROR_SSL, failure->code);
	EXPECT_EQ(LOG_LEVEL_FATAL, failure->level);
	EXPECT_EQ(std::vector<int>{TcpSocket::kDisconnectTlsWriteFailed * 100000 + SSL_ERROR_SSL}, g_events.clientDisconnects);
	EXPECT_TRUE(loop.Until([] { return g_events.clientsDestroyed == 1; }));
}
