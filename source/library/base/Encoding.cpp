#include "base/Encoding.h"

#include "base/FileUtil.h"
#include "base/Mutex.h"
#include "base/MutexLock.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace
{

// Serialises every in-place conversion: the polling transport converts on
// the main thread and on its responder threads.
Mutex ConversionMutex;

// A zero-filled work buffer, wiped again before it is freed.
class WorkBuffer
{
public:
	explicit WorkBuffer(size_t size)
		: m_bytes(size + 1, 0)
	{
	}
	~WorkBuffer()
	{
		explicit_bzero(m_bytes.data(), m_bytes.size());
	}
	char* Data()
	{
		return m_bytes.data();
	}

private:
	std::vector<char> m_bytes;
};

class Converter
{
public:
	explicit Converter(iconv_t handle)
		: m_handle(handle)
	{
	}
	~Converter()
	{
		if (m_handle != reinterpret_cast<iconv_t>(-1))
			iconv_close(m_handle);
	}
	iconv_t Handle() const
	{
		return m_handle;
	}

private:
	iconv_t m_handle;
};

const char* ErrorName(int error)
{
	switch (error)
	{
	case E2BIG: return "E2BIG";
	case EILSEQ: return "EILSEQ";
	case EINVAL: return "EINVAL";
	default: return "";
	}
}

constexpr int Unsupported = -1;
constexpr int Failed = -2;

// One iconv call over the input into output (three bytes per input byte).
// Returns the bytes produced, Unsupported or Failed, after printing the
// failure (to failureStream for a failed conversion).
int Convert(const char* input, size_t length, const std::string& from, const std::string& to,
	WorkBuffer& output, std::FILE* failureStream)
{
	WorkBuffer work(length);
	if (length > 0)
		std::memcpy(work.Data(), input, length);
	Converter converter(OpenIconv(to, from));
	if (converter.Handle() == reinterpret_cast<iconv_t>(-1))
	{
		std::printf("Fail to iconv() errorno : not supported encodings(-1)\n");
		return Unsupported;
	}
	char* in = work.Data();
	size_t inLeft = length;
	char* out = output.Data();
	const size_t capacity = 3 * length;
	size_t outLeft = capacity;
	if (iconv(converter.Handle(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1))
	{
		const int error = errno;
		std::fprintf(failureStream, "Fail to iconv() errorno : %s(%d)\n", ErrorName(error), error);
		return Failed;
	}
	return static_cast<int>(capacity - outLeft);
}

std::string Upper(std::string name)
{
	std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
	return name;
}

} // namespace

int ConvertEncodingToBuffer(const char* input, int length, std::string from, std::string to, char** out)
{
	if (length < 0)
		return -1;
	const size_t size = static_cast<size_t>(length);
	WorkBuffer output(3 * size);
	const int produced = Convert(input, size, Upper(from), Upper(to), output, stdout);
	if (produced < 0)
		return -1;
	if (produced > 0)
	{
		char* result = static_cast<char*>(std::calloc(static_cast<size_t>(produced) + 1, 1));
		if (result == nullptr)
			return -1;
		std::memcpy(result, output.Data(), static_cast<size_t>(produced));
		*out = result;
	}
	return produced;
}

int ConvertEncodingInPlace(std::string from, std::string to, std::string& text, bool byteCount)
{
	MutexLock lock(ConversionMutex);
	WorkBuffer output(3 * text.size());
	const int produced = Convert(text.data(), text.size(), from, to, output, stderr);
	if (produced == Unsupported)
		return -1;
	const int count = produced == Failed ? 0 : static_cast<int>(text.size());
	text.clear();
	if (count != 0)
		text.assign(output.Data(), static_cast<size_t>(produced));
	return byteCount ? count : strlen_mb(text);
}

int strlen_mb(const std::string& text)
{
	AnsiCharLength(nullptr, 0);
	int count = 0;
	for (size_t i = 0; i < text.size(); ++count)
	{
		const int length = AnsiCharLength(text.data() + i, text.size() - i);
		if (length < 0)
			throw std::runtime_error("strlen_mb(): conversion error");
		// A NUL inside the text counts as one character.
		i += length == 0 ? 1 : static_cast<size_t>(length);
	}
	return count;
}

int Utf8ToUtf16(char16_t* out, int capacity, const unsigned char* input, int length)
{
	if (capacity < 1)
		return 0;
	const size_t size = length < 0 ? std::strlen(reinterpret_cast<const char*>(input)) : static_cast<size_t>(length);
	const size_t room = static_cast<size_t>(capacity) - 1;
	size_t written = 0;
	size_t position = 0;
	std::u16string units;
	while (written < room && position < size)
	{
		char32_t codePoint;
		const size_t used = DecodeUtf8(input + position, size - position, codePoint);
		if (used == 0)
			break;
		units.clear();
		AppendUtf16(units, codePoint);
		if (written + units.size() > room)
			break;
		std::copy(units.begin(), units.end(), out + written);
		written += units.size();
		position += used;
	}
	out[written] = 0;
	return static_cast<int>(written);
}

bool Utf8PathToUtf16(const std::string& path, std::u16string& wide)
{
	wide.clear();
	if (path.empty())
		return true;
	if (HoldsNul(path))
		return false;
	const int length = static_cast<int>(path.size());
	const int units = MultiByteToWideChar(CP_UTF8, 0, path.data(), length, nullptr, 0);
	wide.assign(static_cast<size_t>(units), u'\0');
	return units > 0 && MultiByteToWideChar(CP_UTF8, 0, path.data(), length, &wide[0], units) == units;
}
