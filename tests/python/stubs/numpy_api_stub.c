/* A stand-in for NumPy's C-API table: capsules whose ABI, feature-version and byte-order entries answer
   what a test asks, so that the import-time check of _vireo20upscaling can be driven to every outcome. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static unsigned int abi_version;
static unsigned int feature_version;
static int endianness;
static void* table[212];

static unsigned int answer_abi_version(void) { return abi_version; }
static int answer_endianness(void) { return endianness; }
static unsigned int answer_feature_version(void) { return feature_version; }

/* api_capsule(abi_version, feature_version, endianness): an unnamed capsule over the table. */
static PyObject* api_capsule(PyObject* self, PyObject* args)
{
  (void)self;
  if (!PyArg_ParseTuple(args, "IIi", &abi_version, &feature_version, &endianness)) {
    return NULL;
  }
  table[0] = (void*)answer_abi_version;
  table[210] = (void*)answer_endianness;
  table[211] = (void*)answer_feature_version;
  return PyCapsule_New(table, NULL, NULL);
}

/* named_capsule(): a capsule whose pointer cannot be read without its name. */
static PyObject* named_capsule(PyObject* self, PyObject* args)
{
  (void)self;
  (void)args;
  return PyCapsule_New(table, "not_the_array_api", NULL);
}

static PyMethodDef methods[] = {
    {"api_capsule", api_capsule, METH_VARARGS, NULL},
    {"named_capsule", named_capsule, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_vireo20_numpy_api_stub", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__vireo20_numpy_api_stub(void) { return PyModule_Create(&module); }
