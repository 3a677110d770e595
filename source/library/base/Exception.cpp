#include "base/Exception.h"

#include "base/NetUtil.h"

Exception::Exception(const std::string& message)
	: m_message(message)
	, m_detail(NetUtil::NotAvailable())
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
