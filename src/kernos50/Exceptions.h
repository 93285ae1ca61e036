// The exception classes every library of the system throws through.
#pragma once

#include <cstdint>
#include <exception>
#include <ostream>
#include <sstream>
#include <string>

#include "kernos50/Export.h"

namespace kernos50 {

class KERNOS50_VISIBLE IException : public std::exception {
 public:
  IException();
  IException(const IException& p_Other);
  ~IException() override;

  const char* what() const noexcept override;

 protected:
  explicit IException(std::string p_Text);

 private:
  std::string m_Text;
};

// A failure that knows where it was raised.
class KERNOS50_VISIBLE IHeaderException : public IException {
 public:
  IHeaderException(const std::string& p_Message, const std::string& p_File, std::uint64_t p_Line);
  IHeaderException(const IHeaderException& p_Other);
  ~IHeaderException() override;

  const std::string& message() const { return m_Message; }
  const std::string& file() const { return m_File; }
  std::uint64_t line() const { return m_Line; }

 protected:
  IHeaderException(const std::string& p_Heading, const std::string& p_Message,
                   const std::string& p_File, std::uint64_t p_Line);

 private:
  std::string m_Message;
  std::string m_File;
  std::uint64_t m_Line;
};

// A failed contract check: also carries the condition text exactly as written in the check.
class KERNOS50_VISIBLE IContractException : public IHeaderException {
 public:
  IContractException(const IContractException& p_Other);
  ~IContractException() override;

  const std::string& condition() const { return m_Condition; }

 protected:
  IContractException(const char* p_Kind, const std::string& p_Condition, const std::string& p_Message,
                     const std::string& p_File, std::uint64_t p_Line);

 private:
  std::string m_Condition;
};

class KERNOS50_VISIBLE IPreconditionException : public IContractException {
 public:
  IPreconditionException(const std::string& p_Condition, const std::string& p_Message,
                         const std::string& p_File, std::uint64_t p_Line);
  IPreconditionException(const IPreconditionException& p_Other);
  ~IPreconditionException() override;
};

class KERNOS50_VISIBLE IPosconditionException : public IContractException {
 public:
  IPosconditionException(const std::string& p_Condition, const std::string& p_Message,
                         const std::string& p_File, std::uint64_t p_Line);
  IPosconditionException(const IPosconditionException& p_Other);
  ~IPosconditionException() override;
};

// Base of exceptions that compose their message only when it is asked for.
class KERNOS50_VISIBLE ExceptionBase {
 public:
  ExceptionBase();
  ExceptionBase(const ExceptionBase& p_Other);
  ExceptionBase& operator=(const ExceptionBase& p_Other);
  virtual ~ExceptionBase();

 protected:
  // Writes the message into message_stream().
  virtual void generate_message() const = 0;

  std::ostream& message_stream() const;

  // Regenerates the message; null when the stream failed while it was written.
  const char* obtain_message() const;

 private:
  mutable std::ostringstream m_Stream;
  mutable std::string m_Text;
};

}  // namespace kernos50
