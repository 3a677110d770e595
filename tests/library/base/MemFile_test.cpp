#include "base/MemFile.h"

#include <gtest/gtest.h>

#include <random>

namespace
{

std::string ReadAll(MemFile& file, size_t size)
{
	std::string out(size, '\0');
	out.resize(file.Read(&out[0], 1, size));
	return out;
}

std::string RandomBytes(std::mt19937& random, size_t size)
{
	std::string bytes(size, '\0');
	for (char& c : bytes)
		c = static_cast<char>(random());
	return bytes;
}

} // namespace

TEST(MemFile, RandomWritesAndReadsAroundTheBlockSizeMatchAString)
{
	std::mt19937 random(32768);
	const size_t bases[] = { 1, 32767, 32768, 32769, 65536, 100000 };
	const auto size = [&]() { return bases[random() % 6] + random() % 3 - (random() % 3 == 0); };
	for (int round = 0; round < 4; ++round)
	{
		MemFile file;
		std::string expected;
		size_t readAt = 0;
		for (int step = 0; step < 40; ++step)
		{
			std::string chunk = RandomBytes(random, size());
			if (random() % 2)
			{
				ASSERT_EQ(chunk.size(), file.Write(chunk.data(), 1, chunk.size()));
				expected += chunk;
			}
			else
			{
				chunk = ReadAll(file, chunk.size());
				ASSERT_EQ(expected.substr(readAt, chunk.size()), chunk);
				readAt += chunk.size();
			}
			ASSERT_EQ(static_cast<long>(expected.size()), file.Size());
		}
		file.RewindRead();
		ASSERT_EQ(expected, ReadAll(file, expected.size()));
	}
}

TEST(MemFile, ReadsFollowTheReadPositionAfterBoundariesAndRewinds)
{
	MemFile file;
	const std::string first(32768, 'a');
	file.Write(first.data(), 1, first.size());
	EXPECT_EQ(first, ReadAll(file, first.size()));
	EXPECT_FALSE(file.Eof());
	file.Write("fresh", 1, 5);
	EXPECT_EQ("fresh", ReadAll(file, 5));
	EXPECT_EQ("", ReadAll(file, 1));
	EXPECT_TRUE(file.Eof());
	file.RewindRead();
	EXPECT_TRUE(file.Eof()); // kept: readers go by size, not by it
	EXPECT_EQ(std::string(100, 'a'), ReadAll(file, 100));
	// After RewindWrite the reader is past the new end: nothing is left.
	file.RewindWrite();
	file.Printf("%s %d\n", "line", 42);
	EXPECT_EQ("", ReadAll(file, 10));
	file.RewindRead();
	EXPECT_EQ("line 42\n", ReadAll(file, 10));

	MemFile lines; // lines end at a line feed only
	lines.Write("ab\r\ncdefg", 1, 9);
	char line[16];
	EXPECT_STREQ("ab\r", lines.ReadLine(line, sizeof line));
	EXPECT_STREQ("cde", lines.ReadLine(line, 4));
	EXPECT_STREQ("fg", lines.ReadLine(line, sizeof line));
	EXPECT_TRUE(lines.Eof());
}

// A body buffer used again after RewindWrite reads back only what was written
// last (two writes, one ending inside a block), no stale bytes after it.
TEST(MemFile, ReuseAfterRewindWriteReadsTheLastWrites)
{
	std::mt19937 random(7);
	MemFile file;
	file.Write(std::string(100000, 'a').data(), 1, 100000);
	for (const size_t size : { size_t(70000), size_t(32769), size_t(40000), size_t(98305) })
	{
		file.RewindWrite();
		file.RewindRead();
		const std::string written = RandomBytes(random, size);
		file.Write(written.data(), 1, size / 3);
		file.Write(written.data() + size / 3, 1, size - size / 3);
		ASSERT_EQ(static_cast<long>(size), file.Size());
		EXPECT_EQ(written, ReadAll(file, 100000 + 1)) << size;
	}
}
