#include "base/NoCaseLess.h"

#include "base/FileUtil.h"

namespace {

int Fold(unsigned char c)
{
	return static_cast<unsigned char>(LowerAscii(static_cast<char>(c)));
}

}

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const
{
	const unsigned char* p = reinterpret_cast<const unsigned char*>(a.c_str());
	const unsigned char* q = reinterpret_cast<const unsigned char*>(b.c_str());
	while (*p != 0 && Fold(*p) == Fold(*q))
	{
		++p;
		++q;
	}
	return Fold(*p) < Fold(*q);
}
