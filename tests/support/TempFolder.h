#pragma once

// A fresh folder under /tmp for one test, removed with all it holds.

#include <cstdlib>
#include <filesystem>
#include <string>

class TempFolder
{
public:
	TempFolder()
	{
		char pattern[] = "/tmp/zc_test_XXXXXX";
		m_path = mkdtemp(pattern) ? pattern : "";
	}
	~TempFolder() { std::error_code ignored; std::filesystem::remove_all(m_path, ignored); }
	const std::string& Path() const { return m_path; }
	std::u16string Wide() const { return std::u16string(m_path.begin(), m_path.end()); }

private:
	std::string m_path;
};
