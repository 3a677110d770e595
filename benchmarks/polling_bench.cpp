// Latency of a reply on the polling transport: from the moment the reply is
// queued in the message store to the last byte of the answer to the held GET
// on the page's side. The reference, measured in the same run, is a reply
// that the responder finds only at its next 100 ms check of the store.
#include "agent/PollingServer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace
{

constexpr int kEvents = 1000;

// Queues the text without telling the waiting responders.
void QueueQuietly(const std::string& sid, const std::string& text)
{
	MutexLock lock(g_messageStoreMutex);
	g_messageQueues[sid].push_back(text);
}

// Milliseconds from queueing each reply to the whole answer.
std::vector<double> Measure(bool quietly)
{
	PollingServer server;
	PageConnection page(server.Port());
	const std::string sid = OpenAndConnect(page);
	const std::string encoded = Encoded(sid);
	const std::string reply = "[\"zimracert\",{\"call_back\":\"zimracert_getExternalDrive\",\"data\":\"D:\\\\\"}]";
	std::vector<double> latencies;
	for (int i = 0; i < kEvents; ++i)
	{
		page.Get("EIO=3&transport=polling&sid=" + encoded);
		// Let the loop take the GET and its responder make its first check
		// and begin to wait, even on a loaded machine.
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
		const auto start = std::chrono::steady_clock::now();
		if (quietly)
			QueueQuietly(sid, reply);
		else
			g_messageStore.Push(sid, reply);
		const HttpResponse answer = page.Read();
		const auto end = std::chrono::steady_clock::now();
		if (answer.body.find("42[") == std::string::npos)
			continue;
		latencies.push_back(std::chrono::duration<double, std::milli>(end - start).count());
	}
	return latencies;
}

double Percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void BM_PollReplyLatency(benchmark::State& state)
{
	for (auto _ : state)
	{
		const std::vector<double> ours = Measure(false);
		const std::vector<double> reference = Measure(true);
		state.counters["median_ms"] = Percentile(ours, 0.5);
		state.counters["p99_ms"] = Percentile(ours, 0.99);
		state.counters["ref_median_ms"] = Percentile(reference, 0.5);
		state.counters["ref_p99_ms"] = Percentile(reference, 0.99);
		state.counters["median_ratio"] = Percentile(ours, 0.5) / Percentile(reference, 0.5);
		state.counters["answered"] = static_cast<double>(ours.size());
		state.counters["ref_answered"] = static_cast<double>(reference.size());
	}
}

} // namespace

BENCHMARK(BM_PollReplyLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
