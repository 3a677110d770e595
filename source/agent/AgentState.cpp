#include "agent/AgentState.h"

std::atomic<std::uint8_t> g_quitRequested{0};
std::atomic<std::uint8_t> g_useTls{0};
std::int32_t g_listenPort = 0;
WatchdogRecord* g_watchdog = nullptr;
std::string g_certPath;
std::string g_sessionId;
std::atomic<std::uint8_t> g_sessionActive{0};
std::map<std::string, SessionState> g_sessionStates;
