#include "sockets/OutputBlock.h"

#include <cstring>

void OutputBlock::Add(const char* data, std::uint32_t n)
{
	std::memcpy(m_data + m_writeOffset, data, n);
	m_writeOffset += n;
	m_length += n;
}

std::uint32_t OutputBlock::Remove(std::uint32_t n)
{
	m_readOffset += n;
	m_length -= n;
	return m_length;
}
