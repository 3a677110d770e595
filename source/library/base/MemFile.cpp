#include "base/MemFile.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

constexpr long BlockSize = static_cast<long>(MemFileBlock::Size);
constexpr long OffsetMask = BlockSize - 1;

MemFileBlock* NextBlock(MemFileBlock* block)
{
	if (block->next == nullptr)
		block->next = new MemFileBlock;
	return block->next;
}

} // namespace

MemFile::MemFile()
	: m_first(new MemFileBlock)
	, m_readBlock(m_first)
	, m_writeBlock(m_first)
	, m_readBlockIndex(0)
	, m_writeBlockIndex(0)
	, m_readPosition(0)
	, m_writePosition(0)
	, m_eof(false)
{
}

MemFile::~MemFile()
{
	while (m_first != nullptr)
	{
		MemFileBlock* next = m_first->next;
		explicit_bzero(m_first->data, sizeof m_first->data);
		delete m_first;
		m_first = next;
	}
}

bool MemFile::Open(const std::string&, const std::string&)
{
	return true;
}

void MemFile::Close()
{
}

size_t MemFile::Write(const char* buffer, size_t size, size_t count)
{
	size_t total;
	if (__builtin_mul_overflow(size, count, &total))
		return 0;
	size_t left = total;
	while (left > 0)
	{
		// A previous write that ended on a block boundary left the next
		// block for now: move on (or grow the chain) before writing.
		if (m_writeBlockIndex < m_writePosition / BlockSize)
		{
			m_writeBlock = NextBlock(m_writeBlock);
			++m_writeBlockIndex;
		}
		const long offset = m_writePosition & OffsetMask;
		const size_t chunk = std::min(left, static_cast<size_t>(BlockSize - offset));
		std::memcpy(m_writeBlock->data + offset, buffer, chunk);
		buffer += chunk;
		left -= chunk;
		m_writePosition += static_cast<long>(chunk);
	}
	return total;
}

MemFileBlock* MemFile::ReadBlockAt(long position)
{
	const long index = position / BlockSize;
	if (index < m_readBlockIndex)
	{
		m_readBlock = m_first;
		m_readBlockIndex = 0;
	}
	for (; m_readBlockIndex < index; ++m_readBlockIndex)
		m_readBlock = m_readBlock->next;
	return m_readBlock;
}

// The block to read from is always derived from the read position, so a
// read that ended on a block boundary, or a rewind of the writer, can never
// leave it pointing at stale bytes. After RewindWrite the read position may
// lie past the end: that is the end of the file.
size_t MemFile::Read(char* buffer, size_t size, size_t count)
{
	size_t wanted;
	if (__builtin_mul_overflow(size, count, &wanted))
		wanted = static_cast<size_t>(-1);
	const size_t left = static_cast<size_t>(std::max(0L, m_writePosition - m_readPosition));
	if (wanted > left)
	{
		m_eof = true;
		wanted = left;
	}
	size_t copied = 0;
	while (copied < wanted)
	{
		const MemFileBlock* block = ReadBlockAt(m_readPosition);
		const long offset = m_readPosition & OffsetMask;
		const size_t chunk = std::min(wanted - copied, static_cast<size_t>(BlockSize - offset));
		std::memcpy(buffer + copied, block->data + offset, chunk);
		copied += chunk;
		m_readPosition += static_cast<long>(chunk);
	}
	return copied;
}

char* MemFile::ReadLine(char* buffer, size_t capacity)
{
	if (capacity == 0)
		return buffer;
	size_t length = 0;
	char c;
	while (length + 1 < capacity && !Eof() && Read(&c, 1, 1) == 1 && c != '\n')
		buffer[length++] = c;
	buffer[length] = '\0';
	return buffer;
}

void MemFile::Printf(const char* format, ...)
{
	char text[32768];
	va_list args;
	va_start(args, format);
	std::vsnprintf(text, sizeof text, format, args);
	va_end(args);
	Write(text, 1, std::strlen(text));
}

long MemFile::Size()
{
	return m_writePosition;
}

bool MemFile::Eof()
{
	return m_eof;
}

void MemFile::RewindRead()
{
	m_readPosition = 0;
	m_readBlock = m_first;
	m_readBlockIndex = 0;
}

void MemFile::RewindWrite()
{
	m_writePosition = 0;
	m_writeBlock = m_first;
	m_writeBlockIndex = 0;
}

std::string& MemFile::Path()
{
	return m_path;
}
