#include "base/Exception.h"

Exception::Exception(const std::string& message)
	: m_message(message)
	, m_detail("Not available")
{
}

std::string Exception::Message() const
{
	return m_message;
}

std::string Exception::Detail() const
{
	return m_detail;
}
