#include "agent/AgentMain.h"

#include "PKI/CryptoInitializer.h"
#include "PKI/NpkiStore.h"
#include "agent/AgentState.h"
#include "agent/StartUrl.h"
#include "agent/Watchdog.h"
#include "agent/WebSocketServer.h"
#include "agent/wsSocket.h"
#include "base/Exception.h"
#include "base/FileUtil.h"
#include "base/StdoutLog.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "sockets/Ipv4Address.h"
#include "sockets/ListenSocket.h"
#include "sockets/SocketHandler.h"

#include <prthread.h>

#include <cstdio>

namespace
{

const std::int32_t kWatchdogMs = 60000;
const DWORD kModulePathUnits = 520;
const int kListenBacklog = 20;
// The page always runs on this machine.
const char kListenAddress[] = "127.0.0.1";

// Stops the responder threads of the polling transport before the handler
// and its connections go, also when the loop ends by an exception.
struct RespondersStop
{
	~RespondersStop() { WebSocketServer::StopResponders(); }
};

} // namespace

int RunServer()
{
	std::printf("start server! \n");
	std::fflush(stdout);
	try
	{
		StdoutLog log(0);
		SocketHandler handler(&log);
		// Polling responders wake the loop when their answer is ready.
		handler.CreateWakeupSocket();
		RespondersStop stop;
		ListenSocket<wsSocket> listener(handler);
		Ipv4Address address(kListenAddress, static_cast<std::uint16_t>(g_listenPort));
		if (listener.Bind(address, kListenBacklog) != 0)
		{
			std::printf("Bind port %d failed\n", g_listenPort);
			std::fflush(stdout);
			return -1;
		}
		handler.Add(&listener);
		std::printf("binding %d port! \n", g_listenPort);
		std::fflush(stdout);
		while (handler.GetSocketCount() != 0 && !g_quitRequested)
		{
			handler.Select(WebSocketServer::HasWork() ? 0 : 1, 0);
			WebSocketServer::OnLoopTurn();
		}
	}
	catch (const Exception&)
	{
		return -1;
	}
	return 0;
}

int WinMain(const std::string& commandLine)
{
	StartOptions options;
	if (!ReadStartUrl(commandLine, &options))
		return 0;
	g_useTls = options.useTls ? 1 : 0;
	g_listenPort = options.port;
	StartCrypto();

	OSVERSIONINFOEXW version {};
	version.dwOSVersionInfoSize = sizeof(version);
	if (GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5
		&& g_npkiStore == nullptr)
		g_npkiStore = new NpkiStore;

	char16_t module[kModulePathUnits];
	const DWORD length = GetModuleFileNameW(nullptr, module, kModulePathUnits);
	if (length > 0 && length < kModulePathUnits)
		g_certPath = ParentFolder(WideToUtf8(module)) + "\\cert\\local.pem";

	g_watchdog = new WatchdogRecord;
	g_watchdog->timeoutMs = kWatchdogMs;
	g_watchdog->running = 1;
	g_watchdog->thread = PR_CreateThread(PR_USER_THREAD, WatchdogThread, g_watchdog, PR_PRIORITY_NORMAL,
		PR_LOCAL_THREAD, PR_JOINABLE_THREAD, 0);
	if (g_watchdog->thread == nullptr)
		g_watchdog->running = 0;

	if (RunServer() < 0)
		return -1;

	// The watchdog ends within one step of being told to.
	g_watchdog->running = 0;
	if (g_watchdog->thread != nullptr)
		PR_JoinThread(g_watchdog->thread);
	delete g_watchdog;
	g_watchdog = nullptr;
	return 0;
}
