// The in-memory factory's storage selection, and the scalar-type names. Rejected calls are in
// test_ArrayRejections.cpp.
#include <memory>
#include <string>

#include "ArrayTestSupport.h"
#include "kernos50/TypeName.h"
#include "quill20/core/array/VectorArrayImplFactory.h"

namespace {

using namespace array_testing;

const IArrayImplFactory& factory() { return VectorArrayImplFactory::instance(); }

template <class E>
void expect_storage_of(IArrayImpl* p_Created, std::uint64_t p_Size)
{
  std::unique_ptr<IArrayImpl> owned(p_Created);
  std::uint64_t size = 0;
  storage_data(*owned, &size);
  EXPECT_NE(dynamic_cast<VectorArrayImpl<E>*>(owned.get()), nullptr) << kernos50::type_name<E>();
  EXPECT_EQ(size, p_Size);
}

TEST(VectorArrayImplFactory, SelectsTheStorageByScalarTypeAndElementShape)
{
  boost::mp11::mp_for_each<ScalarTypes>([](auto p_Component) {
    using C = decltype(p_Component);
    const auto st = static_cast<ScalarType>(boost::mp11::mp_find<ScalarTypes, C>::value);
    expect_storage_of<C>(factory().create(st, ElementShape(1u, 1u), 4), 4);
    expect_storage_of<C>(factory().create(st, ElementShape(1u, 1u)), 0);
    boost::mp11::mp_for_each<boost::mp11::mp_list_c<int, 2, 3, 4, 9>>([&](auto p_Count) {
      constexpr int n = decltype(p_Count)::value;
      expect_storage_of<RigidVector<n, C>>(factory().create(st, ElementShape(n, 1u), 3), 3);
      if (n != 9) expect_storage_of<RigidVector<n, C>>(factory().create(st, ElementShape(n, 1u)), 0);
    });
  });
  EXPECT_EQ(&vector_array_impl_factory(), &factory());
  Array<RigidVector<9, float>, 1> nines;  // an array asks for its own element type
  nines.initialize(factory(), 3);
  EXPECT_NE((dynamic_cast<VectorArrayImpl<RigidVector<9, float>>*>(nines.get_implementation().get())), nullptr);
}

TEST(ScalarTypeName, NamesEveryValue)
{
  std::string names;
  for (int value = stFloat32; value <= stNotAScalar; ++value) names += scalar_type_name(ScalarType(value)) + ",";
  EXPECT_EQ(names, "float32,float64,int8,int16,int32,int64,uint8,uint16,uint32,uint64,bool,<unknown scalar type>,");
}

}  // namespace
