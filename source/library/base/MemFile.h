#pragma once

#include "base/IFile.h"

// One block of a MemFile; blocks are chained and never move, so appending
// costs one allocation per 32 KiB and no copy of what is stored.
struct MemFileBlock
{
	static constexpr size_t Size = 32768;

	MemFileBlock* next = nullptr;
	char data[Size];
};

// An in-memory file over chained blocks. Reading and writing keep separate
// positions; the size is the write position.
class MemFile : public IFile
{
public:
	MemFile();
	MemFile(const MemFile&) = delete;
	MemFile& operator=(const MemFile&) = delete;
	~MemFile() override;

	bool Open(const std::string& path, const std::string& mode) override;
	void Close() override;
	size_t Read(char* buffer, size_t size, size_t count) override;
	size_t Write(const char* buffer, size_t size, size_t count) override;
	char* ReadLine(char* buffer, size_t capacity) override;
	__attribute__((format(printf, 2, 3))) void Printf(const char* format, ...) override;
	long Size() override;
	// Set by a read that asked for more than was left; nothing clears it,
	// not even RewindRead (readers rewind and read on by size, not by it).
	bool Eof() override;
	void RewindRead() override;
	void RewindWrite() override;
	std::string& Path() override;

private:
	// The block holding byte offset position, found from the cached read
	// block when reading on, from the first block otherwise.
	MemFileBlock* ReadBlockAt(long position);

	MemFileBlock* m_first;
	MemFileBlock* m_readBlock;
	MemFileBlock* m_writeBlock;
	long m_readBlockIndex;
	long m_writeBlockIndex;
	long m_readPosition;
	long m_writePosition;
	bool m_eof;
	std::string m_path;
};
