// The stream adapter over a byte device.
#include "common/iostr.h"

#include "common/assertex.h"

CDeviceStream::CDeviceStream(CIoInstance* pInstance) : std::streambuf(), std::iostream(this), m_pInstance(NULL)
{
    AttachInstance(pInstance);
}

CDeviceStream::~CDeviceStream()
{
    m_achBuffer.clear();
    m_pInstance = NULL;
}

void CDeviceStream::AttachInstance(CIoInstance* pInstance)
{
    ASSERT_NULL(m_pInstance);
    rdbuf(this);
    m_pInstance = pInstance;
    m_opRead.SetInstance(pInstance);
    m_opWrite.SetInstance(pInstance);
    doallocate();
}

int CDeviceStream::doallocate()
{
    m_achBuffer.assign(2 * AREA_SIZE, 0);
    char* pchStart = m_achBuffer.data();
    setp(pchStart, pchStart + AREA_SIZE);
    setg(pchStart + AREA_SIZE, pchStart + AREA_SIZE, pchStart + AREA_SIZE);
    return 0;
}

void CDeviceStream::FlushAndClear()
{
    overflow(traits_type::eof());
    clear();
}

int CDeviceStream::sync()
{
    return traits_type::eq_int_type(overflow(traits_type::eof()), traits_type::eof()) ? -1 : 0;
}

std::streambuf* CDeviceStream::setbuf(char*, std::streamsize)
{
    DEBUG_FAILURE_MSG("Surprise! Call to setbuf().");
    return this;
}

CDeviceStream::int_type CDeviceStream::overflow(int_type nChar)
{
    if (pbase() == NULL)
        return traits_type::eof();
    const DWORD cbPut = (DWORD)(pptr() - pbase());
    if (cbPut > 0) {
        BOOL fOk = m_opWrite.Write(pbase(), cbPut);
        if (!fOk && !m_opWrite.IsComplete())
            fOk = m_opWrite.GetResult();
        if (!fOk) {
            DEBUG_ERROR_MSG("Error " << ::GetLastError() << " occurred flushing the put area to the device.");
            return traits_type::eof();
        }
        setp(pbase(), epptr());
    }
    if (traits_type::eq_int_type(nChar, traits_type::eof()))
        return 0;
    // Characters come as values 0 to 255.
    unsigned char ch = (unsigned char)nChar;
    ASSERT_COND((int)ch, ==, nChar);
    *pptr() = (char)ch;
    pbump(1);
    return 0;
}

CDeviceStream::int_type CDeviceStream::underflow()
{
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (m_achBuffer.size() < 2 * AREA_SIZE)
        return traits_type::eof();
    char* pchGet = m_achBuffer.data() + AREA_SIZE;
    CIoOperation& readOp = m_opRead;
    BOOL fOk = readOp.Read(pchGet, AREA_SIZE);
    if (!fOk && !readOp.IsComplete())
        fOk = readOp.GetResult();
    if (!fOk) {
        DEBUG_ERROR_MSG("Error " << ::GetLastError() << " occurred filling the get area to the device.");
        return traits_type::eof();
    }
    if (!CHECK_COND(readOp.GetActual(), >, 0))
        return traits_type::eof();
    setg(pchGet, pchGet, pchGet + readOp.GetActual());
    // to_int_type gives 0 to 255, so the byte 0xFF is not end-of-file.
    return traits_type::to_int_type(*gptr());
}
