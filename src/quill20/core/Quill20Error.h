// Data errors of the library: they keep their values and compose the message only when asked.
#pragma once

#include <cstdint>
#include <exception>

#include "kernos50/Exceptions.h"
#include "quill20/Export.h"
#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {

class QUILL20_API Quill20Error : public virtual std::exception, public virtual kernos50::ExceptionBase {
 public:
  ~Quill20Error() override;

 protected:
  // The generated message, or one of the two fixed fallback texts; never throws.
  const char* message_or_fallback(const char* p_CaughtText, const char* p_NullText) const noexcept;
};

class QUILL20_API OutOfRangeError : public Quill20Error {
 public:
  OutOfRangeError(const AnyHandle& p_Index, const AnyHandle& p_Lower, const AnyHandle& p_Upper);
  OutOfRangeError(const OutOfRangeError& p_Other);
  ~OutOfRangeError() override;

  const char* what() const noexcept override;

  const AnyHandle& index() const { return m_Index; }
  const AnyHandle& lower() const { return m_Lower; }
  const AnyHandle& upper() const { return m_Upper; }

 protected:
  void generate_message() const override;

 private:
  AnyHandle m_Index;
  AnyHandle m_Lower;
  AnyHandle m_Upper;
};

class QUILL20_API WrongNumberOfVerticesError : public Quill20Error {
 public:
  WrongNumberOfVerticesError(std::uint64_t p_Index, std::uint64_t p_Count);
  WrongNumberOfVerticesError(const WrongNumberOfVerticesError& p_Other);
  ~WrongNumberOfVerticesError() override;

  const char* what() const noexcept override;

  std::uint64_t index() const { return m_Index; }
  std::uint64_t count() const { return m_Count; }

 protected:
  void generate_message() const override;

 private:
  std::uint64_t m_Index;
  std::uint64_t m_Count;
};

}  // namespace core
}  // namespace quill20
