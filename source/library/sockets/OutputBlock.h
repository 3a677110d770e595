#pragma once

#include <cstddef>
#include <cstdint>

// One block of a socket's output queue. Filled once and drained once: a block
// is never reused after its bytes were sent.
class OutputBlock
{
public:
	static constexpr std::uint32_t kSize = 1024000;

	// Provided, so that a new block is not zero-filled first: its bytes are
	// written before they are read.
	OutputBlock() {}

	std::uint32_t Space() const { return kSize - m_writeOffset; }
	void Add(const char* data, std::uint32_t n);
	// Drops n sent bytes; returns the bytes still to send.
	std::uint32_t Remove(std::uint32_t n);
	const char* Buf() const { return m_data + m_readOffset; }
	std::uint32_t Length() const { return m_length; }

private:
	std::uint32_t m_readOffset = 0;
	std::uint32_t m_writeOffset = 0;
	std::uint32_t m_length = 0;
	char m_data[kSize];
};
