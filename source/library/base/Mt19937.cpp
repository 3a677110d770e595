#include "base/Mt19937.h"

namespace {

constexpr int kShift = 397;
constexpr std::uint32_t kMatrix = 0x9908B0DFu;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;

std::uint32_t Twist(std::uint32_t far, std::uint32_t current, std::uint32_t next)
{
	const std::uint32_t x = (current & kUpperMask) | (next & kLowerMask);
	return far ^ (x >> 1) ^ ((x & 1u) ? kMatrix : 0u);
}

}

Mt19937::Mt19937(std::uint32_t seed)
	: m_index(0)
{
	m_state[0] = seed;
	for (int i = 1; i < kStateSize; ++i)
		m_state[i] = (m_state[i - 1] ^ (m_state[i - 1] >> 30)) * 1812433253u + static_cast<std::uint32_t>(i);
}

std::uint32_t Mt19937::Next()
{
	const std::uint32_t y = m_state[m_index];
	if (++m_index == kStateSize)
	{
		Regenerate();
		m_index = 0;
	}
	return y;
}

void Mt19937::Regenerate()
{
	int k = 0;
	for (; k < kStateSize - kShift; ++k)
		m_state[k] = Twist(m_state[k + kShift], m_state[k], m_state[k + 1]);
	for (; k < kStateSize - 1; ++k)
		m_state[k] = Twist(m_state[k + kShift - kStateSize], m_state[k], m_state[k + 1]);
	m_state[kStateSize - 1] = Twist(m_state[kShift - 1], m_state[kStateSize - 1], m_state[0]);
}
