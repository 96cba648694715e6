/* The floor of the benchmarks: the least work any extension type must do to
 * give the same shapes as kelto's constraint objects. Nothing here checks
 * borrows, converts generic values or keeps a tagged tree; no type is tracked
 * by the cyclic collector and none has an instance dictionary.
 *
 *   Str(name)        copies one str's UTF-8 bytes into the object (one block)
 *   List([Str, ...]) copies each element's bytes into a C array it owns;
 *                    List >= int builds a CmpNode holding a copy of the array
 *   CmpNode          list copy + 64-bit integer + operator code
 *   Node(depth)      a chain of `depth` two-child C nodes; clone() copies the
 *                    whole tree iteratively (explicit stack) into a new Node
 *   collect(fn)      calls fn(); a named C frame for `valgrind --toggle-collect`
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

static void *xmalloc(size_t size) {
    void *p = malloc(size ? size : 1);
    if (p == NULL) {
        fputs("floor: out of memory\n", stderr);
        abort();
    }
    return p;
}

/* ---- Str: one copied text ------------------------------------------------ */

typedef struct {
    PyObject_VAR_HEAD
    char text[1];
} StrObject;

static PyTypeObject StrType;

static PyObject *str_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Str() takes exactly one positional argument");
        return NULL;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "argument 'name': expected str");
        return NULL;
    }
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (utf8 == NULL)
        return NULL;
    StrObject *self = (StrObject *)((PyTypeObject *)type)->tp_alloc((PyTypeObject *)type, size);
    if (self == NULL)
        return NULL;
    memcpy(self->text, utf8, (size_t)size);
    self->text[size] = '\0';
    return (PyObject *)self;
}

static PyObject *str_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "Str() takes no keyword arguments");
        return NULL;
    }
    return str_vectorcall((PyObject *)type, &PyTuple_GET_ITEM(args, 0), (size_t)PyTuple_GET_SIZE(args), NULL);
}

static PyObject *str_get_on(PyObject *self, void *closure) {
    (void)closure;
    StrObject *s = (StrObject *)self;
    return PyUnicode_FromStringAndSize(s->text, Py_SIZE(s));
}

static PyGetSetDef str_getset[] = {
    {"on", str_get_on, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject StrType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.Str",
    .tp_basicsize = offsetof(StrObject, text) + 1,
    .tp_itemsize = 1,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = str_new,
    .tp_vectorcall = str_vectorcall,
    .tp_getset = str_getset,
};

/* ---- List and CmpNode: the NumOf([...]) >= k shape ---------------------- */

typedef struct {
    char *data;
    Py_ssize_t size;
} Text;

static Text *texts_copy(const Text *from, Py_ssize_t count) {
    Text *to = xmalloc(sizeof(Text) * (size_t)count);
    for (Py_ssize_t i = 0; i < count; i++) {
        to[i].size = from[i].size;
        to[i].data = xmalloc((size_t)from[i].size + 1);
        memcpy(to[i].data, from[i].data, (size_t)from[i].size + 1);
    }
    return to;
}

static void texts_free(Text *texts, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; i++)
        free(texts[i].data);
    free(texts);
}

typedef struct {
    PyObject_HEAD
    Text *items;
    Py_ssize_t count;
} ListObject;

typedef struct {
    PyObject_HEAD
    Text *lhs;
    Py_ssize_t count;
    long long rhs;
    int op;
} CmpObject;

static PyTypeObject ListType;
static PyTypeObject CmpType;

static PyObject *list_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "List() takes exactly one positional argument");
        return NULL;
    }
    PyObject *seq = PySequence_Fast(args[0], "argument 'of': expected a sequence");
    if (seq == NULL)
        return NULL;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(seq);
    PyObject **items = PySequence_Fast_ITEMS(seq);
    for (Py_ssize_t i = 0; i < count; i++) {
        if (Py_TYPE(items[i]) != &StrType) {
            Py_DECREF(seq);
            PyErr_SetString(PyExc_TypeError, "argument 'of': expected Str elements");
            return NULL;
        }
    }
    Text *texts = xmalloc(sizeof(Text) * (size_t)count);
    for (Py_ssize_t i = 0; i < count; i++) {
        StrObject *s = (StrObject *)items[i];
        texts[i].size = Py_SIZE(s);
        texts[i].data = xmalloc((size_t)Py_SIZE(s) + 1);
        memcpy(texts[i].data, s->text, (size_t)Py_SIZE(s) + 1);
    }
    Py_DECREF(seq);
    ListObject *self = (ListObject *)((PyTypeObject *)type)->tp_alloc((PyTypeObject *)type, 0);
    if (self == NULL) {
        texts_free(texts, count);
        return NULL;
    }
    self->items = texts;
    self->count = count;
    return (PyObject *)self;
}

static PyObject *list_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "List() takes no keyword arguments");
        return NULL;
    }
    return list_vectorcall((PyObject *)type, &PyTuple_GET_ITEM(args, 0), (size_t)PyTuple_GET_SIZE(args), NULL);
}

static void list_dealloc(PyObject *self) {
    ListObject *l = (ListObject *)self;
    texts_free(l->items, l->count);
    Py_TYPE(self)->tp_free(self);
}

/* The same operator table as the real thing: rich-comparison code -> op. */
static const int op_of_code[6] = {0, 1, 3, 2, 5, 4};

static PyObject *list_richcompare(PyObject *self, PyObject *other, int code) {
    if (!PyLong_Check(other) || code < 0 || code > 5)
        Py_RETURN_NOTIMPLEMENTED;
    long long value = PyLong_AsLongLong(other);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    ListObject *l = (ListObject *)self;
    CmpObject *c = (CmpObject *)CmpType.tp_alloc(&CmpType, 0);
    if (c == NULL)
        return NULL;
    c->lhs = texts_copy(l->items, l->count);
    c->count = l->count;
    c->rhs = value;
    c->op = op_of_code[code];
    return (PyObject *)c;
}

static PyObject *list_len(PyObject *self, PyObject *unused) {
    (void)unused;
    return PyLong_FromSsize_t(((ListObject *)self)->count);
}

static PyMethodDef list_methods[] = {
    {"count", list_len, METH_NOARGS, "number of elements"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject ListType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.List",
    .tp_basicsize = sizeof(ListObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = list_new,
    .tp_vectorcall = list_vectorcall,
    .tp_dealloc = list_dealloc,
    .tp_richcompare = list_richcompare,
    .tp_methods = list_methods,
};

static void cmp_dealloc(PyObject *self) {
    CmpObject *c = (CmpObject *)self;
    texts_free(c->lhs, c->count);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *cmp_fields(PyObject *self, PyObject *unused) {
    (void)unused;
    CmpObject *c = (CmpObject *)self;
    return Py_BuildValue("(nLi)", c->count, c->rhs, c->op);
}

static PyMethodDef cmp_methods[] = {
    {"fields", cmp_fields, METH_NOARGS, "(element count, rhs, op)"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject CmpType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.CmpNode",
    .tp_basicsize = sizeof(CmpObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_dealloc = cmp_dealloc,
    .tp_methods = cmp_methods,
};

/* ---- Node: a tree of two-child C nodes ---------------------------------- */

typedef struct tnode {
    struct tnode *left;
    struct tnode *right;
} TNode;

typedef struct {
    PyObject_HEAD
    TNode *root;
} NodeObject;

static PyTypeObject NodeType;

/* A growable stack of pointer pairs, for iterative walks of any depth. */
typedef struct {
    TNode **from;
    TNode ***to;
    size_t size, capacity;
} Stack;

static void stack_push(Stack *s, TNode *from, TNode **to) {
    if (s->size == s->capacity) {
        s->capacity = s->capacity ? s->capacity * 2 : 16;
        s->from = realloc(s->from, s->capacity * sizeof *s->from);
        s->to = realloc(s->to, s->capacity * sizeof *s->to);
        if (s->from == NULL || s->to == NULL) {
            fputs("floor: out of memory\n", stderr);
            abort();
        }
    }
    s->from[s->size] = from;
    s->to[s->size] = to;
    s->size++;
}

static TNode *tree_clone(TNode *root) {
    TNode *copy = NULL;
    Stack stack = {0};
    TNode *from = root;
    TNode **to = &copy;
    for (;;) {
        /* Follow left children in a loop (a chain never touches the stack);
         * right children wait on the stack. */
        while (from != NULL) {
            TNode *n = xmalloc(sizeof *n);
            n->left = n->right = NULL;
            *to = n;
            if (from->right != NULL)
                stack_push(&stack, from->right, &n->right);
            to = &n->left;
            from = from->left;
        }
        if (stack.size == 0)
            break;
        stack.size--;
        from = stack.from[stack.size];
        to = stack.to[stack.size];
    }
    free(stack.from);
    free(stack.to);
    return copy;
}

static void tree_free(TNode *root) {
    /* Rotate right subtrees into the left spine: constant extra space. */
    while (root != NULL) {
        if (root->right != NULL) {
            TNode *r = root->right;
            root->right = r->left;
            r->left = root;
            root = r;
        } else {
            TNode *next = root->left;
            free(root);
            root = next;
        }
    }
}

static PyObject *node_wrap(TNode *root) {
    NodeObject *self = (NodeObject *)NodeType.tp_alloc(&NodeType, 0);
    if (self == NULL) {
        tree_free(root);
        return NULL;
    }
    self->root = root;
    return (PyObject *)self;
}

static PyObject *node_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    (void)type;
    Py_ssize_t depth;
    static char *names[] = {"depth", NULL};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "n", names, &depth))
        return NULL;
    if (depth < 1) {
        PyErr_SetString(PyExc_ValueError, "depth must be at least 1");
        return NULL;
    }
    TNode *root = NULL;
    for (Py_ssize_t i = 0; i < depth; i++) {
        TNode *n = xmalloc(sizeof *n);
        n->left = root;
        n->right = NULL;
        root = n;
    }
    return node_wrap(root);
}

static void node_dealloc(PyObject *self) {
    tree_free(((NodeObject *)self)->root);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *node_clone(PyObject *self, PyObject *unused) {
    (void)unused;
    return node_wrap(tree_clone(((NodeObject *)self)->root));
}

/* Joins two trees under a new root: each side is copied, as kelto copies. */
static PyObject *node_join(PyObject *self, PyObject *other) {
    if (Py_TYPE(other) != &NodeType) {
        PyErr_SetString(PyExc_TypeError, "join() expects a Node");
        return NULL;
    }
    TNode *n = xmalloc(sizeof *n);
    n->left = tree_clone(((NodeObject *)self)->root);
    n->right = tree_clone(((NodeObject *)other)->root);
    return node_wrap(n);
}

static PyObject *node_size(PyObject *self, PyObject *unused) {
    (void)unused;
    /* Iterative count with an explicit stack. */
    Py_ssize_t count = 0;
    Stack stack = {0};
    TNode *dummy = NULL;
    TNode *at = ((NodeObject *)self)->root;
    for (;;) {
        while (at != NULL) {
            count++;
            if (at->right != NULL)
                stack_push(&stack, at->right, &dummy);
            at = at->left;
        }
        if (stack.size == 0)
            break;
        at = stack.from[--stack.size];
    }
    free(stack.from);
    free(stack.to);
    return PyLong_FromSsize_t(count);
}

static PyMethodDef node_methods[] = {
    {"clone", node_clone, METH_NOARGS, "a deep copy of the tree"},
    {"join", node_join, METH_O, "a new root holding copies of self and other"},
    {"size", node_size, METH_NOARGS, "number of nodes"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject NodeType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.Node",
    .tp_basicsize = sizeof(NodeObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = node_new,
    .tp_dealloc = node_dealloc,
    .tp_methods = node_methods,
};

/* ---- collect(fn): the profiling window ---------------------------------- */

/* Not static and never inlined, so that the symbol exists for
 * `valgrind --tool=callgrind --toggle-collect=floor_collect_region`. */
__attribute__((noinline)) PyObject *floor_collect_region(PyObject *fn) {
    PyObject *result = PyObject_CallNoArgs(fn);
    __asm__ volatile("" ::: "memory");
    return result;
}

static PyObject *floor_collect(PyObject *module, PyObject *fn) {
    (void)module;
    return floor_collect_region(fn);
}

static PyMethodDef floor_functions[] = {
    {"collect", floor_collect, METH_O, "call fn() inside the profiling window"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "floor",
    .m_doc = "Minimal extension types: the floor of the benchmarks.",
    .m_size = -1,
    .m_methods = floor_functions,
};

PyMODINIT_FUNC PyInit_floor(void) {
    PyTypeObject *types[] = {&StrType, &ListType, &CmpType, &NodeType};
    const char *names[] = {"Str", "List", "CmpNode", "Node"};
    for (size_t i = 0; i < 4; i++)
        if (PyType_Ready(types[i]) < 0)
            return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    for (size_t i = 0; i < 4; i++) {
        if (PyModule_AddObjectRef(module, names[i], (PyObject *)types[i]) < 0) {
            Py_DECREF(module);
            return NULL;
        }
    }
    return module;
}
