#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

class NpkiStore;
struct PRThread;

// Where a polling session stands.
enum SessionState : std::int32_t
{
	// What a lookup of an unknown id inserts.
	SessionNone = 0,
	// The open packet was sent.
	SessionOpened = 1,
	// The connect packet "40" was sent.
	SessionConnected = 2,
};

// The watchdog's record: it ends the agent when no page connects in time.
struct WatchdogRecord
{
	// 1 while the watchdog thread runs; cleared to stop it.
	std::atomic<std::uint8_t> running{0};
	// Set once a page has connected.
	std::atomic<std::uint8_t> clientConnected{0};
	// How long to wait for the first page.
	std::int32_t timeoutMs = 0;
	PRThread* thread = nullptr;
};

// The process-wide state shared by the start-up, the transports and the
// dispatcher. The flags are touched by more than one thread; the strings, the
// store pointer and the session table belong to the main thread.

// The agent must stop: set by the terminate event and by the watchdog.
extern std::atomic<std::uint8_t> g_quitRequested;
// Accepted connections speak TLS.
extern std::atomic<std::uint8_t> g_useTls;
extern std::int32_t g_listenPort;
// The one certificate store; never destroyed.
extern NpkiStore* g_npkiStore; // defined with the store (PKI/NpkiStore.cpp)
extern WatchdogRecord* g_watchdog;
// The TLS certificate file.
extern std::string g_certPath;
// The session id of the connected page on the polling transport.
extern std::string g_sessionId;
// A browser page holds the agent; a second one is refused while it is set.
// Written by PageSession alone.
extern std::atomic<std::uint8_t> g_sessionActive;
// Polling sessions by id.
extern std::map<std::string, SessionState> g_sessionStates;
