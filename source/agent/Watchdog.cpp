#include "agent/Watchdog.h"

#include "agent/AgentState.h"
#include "platform/sync.h"

namespace
{

const DWORD kStepMs = 100;

} // namespace

void WatchdogThread(void* argument)
{
	WatchdogRecord* record = static_cast<WatchdogRecord*>(argument);
	for (long steps = 0; record->running && !record->clientConnected;)
	{
		Sleep(kStepMs);
		++steps;
		if (steps * static_cast<long>(kStepMs) >= record->timeoutMs)
		{
			if (!record->clientConnected)
				g_quitRequested = 1;
			break;
		}
	}
	record->running = 0;
}
