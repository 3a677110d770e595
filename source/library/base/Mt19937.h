#pragma once

#include <cstdint>

// Mersenne-twister state recurrence (MT19937) behind the process's random
// numbers. Values are handed out straight from the state, without the
// published generator's tempering, starting with the initial state itself:
// the session ids the agent has always made depend on exactly this sequence.
class Mt19937
{
public:
	explicit Mt19937(std::uint32_t seed);
	std::uint32_t Next();

private:
	static constexpr int kStateSize = 624;
	void Regenerate();

	std::uint32_t m_index;
	std::uint32_t m_state[kStateSize];
};
