#include "acquisition/CTorvexException.h"

namespace Torvex {

CAcqError::CAcqError(std::int32_t code) : CAcqException("HostAcq encountered an error.\n"), m_Code(code) {}

CAcqError::CAcqError(const std::string& location, std::int32_t code)
    : CAcqException("HostAcq encountered an error at: " + location + ".\n"), m_Code(code) {}

CAbortException::CAbortException(cyg_sem_t* reply_semaphore)
    : CAcqException("HostAcq was asked to abort.\n"), m_ReplySemaphore(reply_semaphore) {}

CFatalAcqException::CFatalAcqException(const std::string& location)
    : CTorvexException("HostAcq fatal exception at: " + location + ".\n") {}

}  // namespace Torvex
