#pragma once

// The first-page watchdog's body, given its WatchdogRecord (agent/AgentState.h):
// sets the quit flag when no page has connected within the record's time,
// checking every 100 ms. Whoever starts the thread sets the record's
// `running` first, so that a stop request cannot come too early; the thread
// clears it when it ends, at once when told to stop (running cleared) or
// when a page has connected.
void WatchdogThread(void* record);
