#pragma once

#include <string>

// The one error type the system throws on its own account. Thrown and caught
// by value; the detail text is always "Not available".
class Exception
{
public:
	explicit Exception(const std::string& message);
	Exception(const Exception&) = default;
	virtual ~Exception() = default;

	virtual std::string Message() const;
	virtual std::string Detail() const;

private:
	std::string m_message;
	std::string m_detail;
};
