#include "sockets/RingBuffer.h"

#include <algorithm>
#include <cstring>

RingBuffer::RingBuffer(std::size_t capacity)
	: m_storage(new char[capacity])
	, m_capacity(capacity)
{
}

bool RingBuffer::Write(const char* data, std::size_t n)
{
	if (n > m_capacity - m_held)
		return false;
	const std::size_t first = std::min(n, m_capacity - m_writePos);
	std::memcpy(m_storage.get() + m_writePos, data, first);
	std::memcpy(m_storage.get(), data + first, n - first);
	m_writePos = (m_writePos + n) % m_capacity;
	m_held += n;
	return true;
}

bool RingBuffer::Read(char* dest, std::size_t n)
{
	if (n > m_held)
		return false;
	if (dest != nullptr)
	{
		const std::size_t first = std::min(n, m_capacity - m_readPos);
		std::memcpy(dest, m_storage.get() + m_readPos, first);
		std::memcpy(dest + first, m_storage.get(), n - first);
	}
	m_readPos = (m_readPos + n) % m_capacity;
	m_held -= n;
	if (m_held == 0)
	{
		m_readPos = 0;
		m_writePos = 0;
	}
	return true;
}
