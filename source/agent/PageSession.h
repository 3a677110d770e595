#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// The one page the agent serves at a time, and the rule that binds a page to
// it. Everything about who holds the agent is decided here; the transports
// only ask and report.
//
// The connected page is one session: on the polling transport the session
// id that got "40", on the WebSocket transport the connection that completed
// its upgrade. Only the connected page's requests act. Its session ends, and
// the next page's open is accepted at once, when
//   - the page sends its close packet, or the answer "6" goes out (End);
//   - the WebSocket page's connection closes (ConnectionClosed);
//   - the page has gone: the last connection that carried a request of the
//     session closed, or a connection closed while it held the page's poll
//     (a live page never gives up a held poll), and no new request of the
//     session came within kGrace (Gone);
//   - no request of the session came for kSilence, the ping time-out the
//     open packet promised (Gone).
// Nothing else ends it: a page that keeps polling keeps its place. Time the
// agent spends on the page's own records does not count against the page:
// while it works (Working), neither the grace nor the silence ends the
// session, and both count again from the moment the work is done.
//
// The loop thread alone calls these; g_sessionActive mirrors Connected() for
// the other threads.
namespace PageSession
{

using Clock = std::chrono::steady_clock;

// How long a page whose connections are gone may take to come back.
constexpr Clock::duration kGrace = std::chrono::seconds(2);
// pingInterval + pingTimeout of the open packet.
constexpr Clock::duration kSilence = std::chrono::milliseconds(61000);
// Sessions opened but not connected that are remembered; the oldest beyond
// this are forgotten.
constexpr std::size_t kOpenedLimit = 16;

// A page is connected.
bool Connected();
// The id names the connected polling page.
bool IsPollingPage(const std::string& sid);
// The id was opened and has not connected.
bool IsOpened(const std::string& sid);
// The connected polling page's id; empty when none.
const std::string& PollingPage();
// Connection uid carried a request of the connected polling page and is open.
bool IsPageConnection(int uid);

// The open packet for the id went out.
void Opened(const std::string& sid);
// The first GET of an opened id, on connection uid: false when a page is
// connected already.
bool ConnectPolling(const std::string& sid, int uid, Clock::time_point now = Clock::now());
// A WebSocket upgrade on connection uid: false when a page is connected.
bool ConnectWebSocket(int uid);

// A request of the connected polling page came on connection uid.
void Request(int uid, Clock::time_point now = Clock::now());
// Connection uid is going; heldPoll: it held a poll of the page.
void ConnectionClosed(int uid, bool heldPoll, Clock::time_point now = Clock::now());
// The agent is acting on the polling page's records, or has stopped.
void Working(bool busy, Clock::time_point now = Clock::now());
// The connected polling page has gone (see above).
bool Gone(Clock::time_point now = Clock::now());

// Ends whatever page is connected: its id, its queued replies and the flag
// go; the next page may connect.
void End();

} // namespace PageSession
