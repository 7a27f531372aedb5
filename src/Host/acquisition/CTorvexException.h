// The acquisition's exception family.
//
// CTorvexException is the root: it carries a message that `what` returns. Below it:
//   CAcqException     - measurement-level failures, caught by the measurement handlers;
//     CAcqError       - ends the current measurement with an eError code;
//     CAbortException - the current measurement was asked to abort (carries the reply semaphore);
//   CFatalAcqException - restarts the whole acquisition from the DSP program load; it is deliberately
//                        not a CAcqException, so it passes every measurement-level handler;
//   CDSPIFException, CDSPNotBootedException - raised inside the DSP interface.
// Destroying an exception only releases its message; in particular a CAbortException never posts its
// semaphore (the handler that owns the reply does that).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "platform/kernel.h"

namespace Torvex {

class CTorvexException : public std::exception {
 public:
  explicit CTorvexException(std::string message) : m_Message(std::move(message)) {}
  ~CTorvexException() override = default;

  const char* what() const noexcept override { return m_Message.c_str(); }

 protected:
  std::string m_Message;
};

class CAcqException : public CTorvexException {
 public:
  using CTorvexException::CTorvexException;
  ~CAcqException() override = default;

  virtual bool IsError() const = 0;
  virtual bool IsAbort() const = 0;
};

class CAcqError : public CAcqException {
 public:
  explicit CAcqError(std::int32_t code);
  CAcqError(const std::string& location, std::int32_t code);
  ~CAcqError() override = default;

  bool IsError() const override { return true; }
  bool IsAbort() const override { return false; }

  std::int32_t m_Code;
};

class CAbortException : public CAcqException {
 public:
  explicit CAbortException(cyg_sem_t* reply_semaphore);
  ~CAbortException() override = default;

  bool IsError() const override { return false; }
  bool IsAbort() const override { return true; }

  cyg_sem_t* m_ReplySemaphore;
};

class CFatalAcqException : public CTorvexException {
 public:
  explicit CFatalAcqException(const std::string& location);
  ~CFatalAcqException() override = default;
};

class CDSPIFException : public CTorvexException {
 public:
  using CTorvexException::CTorvexException;
  ~CDSPIFException() override = default;
};

class CDSPNotBootedException : public CTorvexException {
 public:
  using CTorvexException::CTorvexException;
  ~CDSPNotBootedException() override = default;
};

}  // namespace Torvex

// "file:line" of the statement that uses it, the location text of the located exceptions.
#define TORVEX_STRINGIFY_LINE_(x) #x
#define TORVEX_STRINGIFY_LINE(x) TORVEX_STRINGIFY_LINE_(x)
#define TORVEX_LOCATION (std::string(__FILE__ ":" TORVEX_STRINGIFY_LINE(__LINE__)))
