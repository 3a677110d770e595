#pragma once

// A lock, taken without time-out.
class IMutex
{
public:
	virtual ~IMutex() = default;
	virtual void Lock() = 0;
	virtual void Unlock() = 0;
};
