// CDeviceStream: the stream interface (insertion and extraction) on an open
// instance of a byte device. The object is its own stream buffer, with a
// 256-byte put area and a 256-byte get area, each emptied or filled with
// one transfer of its own operation. A transfer that stays pending (an
// overlapped device) is waited for.
//
// The stream does not own the instance; it is built on an open instance,
// used by one thread, flushed by its user (the destructor writes nothing)
// and destroyed before the instance is closed:
//   CDeviceStream stream(&instance);
//   stream << csText; stream.flush(); BOOL fOk = stream.good();
//   stream.FlushAndClear();
#pragma once

#include <istream>
#include <streambuf>
#include <vector>

#include "common/cio.h"

class CDeviceStream : public std::streambuf, public std::iostream
{
public:
    // Both bases name these; the stream buffer's are meant.
    typedef std::char_traits<char> traits_type;
    typedef traits_type::int_type int_type;

    explicit CDeviceStream(CIoInstance* pInstance);
    virtual ~CDeviceStream();

    void AttachInstance(CIoInstance* pInstance);
    // Writes out the put area, then clears the stream's state flags.
    virtual void FlushAndClear();

    enum { AREA_SIZE = 256 };

protected:
    virtual int sync() override;
    virtual std::streambuf* setbuf(char* pchBuffer, std::streamsize cch) override;
    virtual int_type overflow(int_type nChar = traits_type::eof()) override;
    virtual int_type underflow() override;
    virtual int doallocate();

public:
    CIoInstance* m_pInstance;    // not owned; null when detached
    std::vector<char> m_achBuffer;   // put area, then get area
    CIoOperation m_opRead;
    CIoOperation m_opWrite;
};
