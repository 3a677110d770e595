#pragma once

#include <cstddef>
#include <memory>

// A byte store of fixed capacity, read in the order written.
class RingBuffer
{
public:
	explicit RingBuffer(std::size_t capacity);

	// Stores all n bytes, or nothing (false) when they do not fit.
	bool Write(const char* data, std::size_t n);
	// Takes n bytes into dest, or only drops them when dest is null; false,
	// taking nothing, when fewer are held.
	bool Read(char* dest, std::size_t n);
	std::size_t GetLength() const { return m_held; }

private:
	std::unique_ptr<char[]> m_storage;
	std::size_t m_capacity;
	std::size_t m_held = 0;
	std::size_t m_readPos = 0;
	std::size_t m_writePos = 0;
};
