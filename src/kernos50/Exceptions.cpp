// what() texts hold every piece a reader needs: kind, condition, message, file and line.
#include "kernos50/Exceptions.h"

#include <utility>

namespace kernos50 {

namespace {

std::string located_text(const std::string& p_Heading, const std::string& p_Message,
                         const std::string& p_File, std::uint64_t p_Line)
{
  std::ostringstream text;
  if (!p_Heading.empty()) text << p_Heading << "\n";
  text << p_Message << "\n  at " << p_File << ":" << p_Line;
  return text.str();
}

}  // namespace

IException::IException() = default;
IException::IException(std::string p_Text) : m_Text(std::move(p_Text)) {}
IException::IException(const IException& p_Other) = default;
IException::~IException() = default;

const char* IException::what() const noexcept { return m_Text.c_str(); }

IHeaderException::IHeaderException(const std::string& p_Message, const std::string& p_File,
                                   std::uint64_t p_Line)
    : IHeaderException(std::string(), p_Message, p_File, p_Line)
{
}

IHeaderException::IHeaderException(const std::string& p_Heading, const std::string& p_Message,
                                   const std::string& p_File, std::uint64_t p_Line)
    : IException(located_text(p_Heading, p_Message, p_File, p_Line)),
      m_Message(p_Message),
      m_File(p_File),
      m_Line(p_Line)
{
}

IHeaderException::IHeaderException(const IHeaderException& p_Other) = default;
IHeaderException::~IHeaderException() = default;

IContractException::IContractException(const char* p_Kind, const std::string& p_Condition,
                                       const std::string& p_Message, const std::string& p_File,
                                       std::uint64_t p_Line)
    : IHeaderException(std::string(p_Kind) + " failed: " + p_Condition, p_Message, p_File, p_Line),
      m_Condition(p_Condition)
{
}

IContractException::IContractException(const IContractException& p_Other) = default;
IContractException::~IContractException() = default;

IPreconditionException::IPreconditionException(const std::string& p_Condition,
                                               const std::string& p_Message,
                                               const std::string& p_File, std::uint64_t p_Line)
    : IContractException("Precondition", p_Condition, p_Message, p_File, p_Line)
{
}

IPreconditionException::IPreconditionException(const IPreconditionException& p_Other) = default;
IPreconditionException::~IPreconditionException() = default;

IPosconditionException::IPosconditionException(const std::string& p_Condition,
                                               const std::string& p_Message,
                                               const std::string& p_File, std::uint64_t p_Line)
    : IContractException("Postcondition", p_Condition, p_Message, p_File, p_Line)
{
}

IPosconditionException::IPosconditionException(const IPosconditionException& p_Other) = default;
IPosconditionException::~IPosconditionException() = default;

ExceptionBase::ExceptionBase() = default;

ExceptionBase::ExceptionBase(const ExceptionBase& p_Other) : m_Stream(p_Other.m_Stream.str()), m_Text(p_Other.m_Text)
{
  m_Stream.seekp(0, std::ios_base::end);
}

ExceptionBase& ExceptionBase::operator=(const ExceptionBase& p_Other)
{
  if (this != &p_Other) {
    m_Stream.str(p_Other.m_Stream.str());
    m_Stream.clear();
    m_Stream.seekp(0, std::ios_base::end);
    m_Text = p_Other.m_Text;
  }
  return *this;
}

ExceptionBase::~ExceptionBase() = default;

std::ostream& ExceptionBase::message_stream() const { return m_Stream; }

const char* ExceptionBase::obtain_message() const
{
  m_Stream.str(std::string());
  m_Stream.clear();
  generate_message();
  if (!m_Stream) return nullptr;
  m_Text = m_Stream.str();
  return m_Text.c_str();
}

}  // namespace kernos50
