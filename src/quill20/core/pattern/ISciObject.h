// Root of every named data object: name, attached information, run-time type name, description.
#pragma once

#include <ostream>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"

namespace quill20 {
namespace core {

// Something that describes a data object; printed through its str().
class QUILL20_API IInformation {
 public:
  virtual ~IInformation();
  virtual std::string str() const = 0;
};

class QUILL20_API ISciObject : public boost::enable_shared_from_this<ISciObject> {
 public:
  virtual boost::shared_ptr<IInformation> get_information() const;
  virtual void set_information(boost::shared_ptr<IInformation> p_Information);
  virtual std::string get_name() const;
  virtual void set_name(const std::string& p_Name);
  virtual std::string get_type_name() const;
  virtual std::string str() const;
  virtual ~ISciObject();
  virtual void print(std::ostream& p_Stream, const std::string& p_Indent, const std::string& p_Label) const;

 private:
  boost::shared_ptr<IInformation> m_Information;
  std::string m_Name;
};

}  // namespace core
}  // namespace quill20
