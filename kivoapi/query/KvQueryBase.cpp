// Out-of-line destructor of the abstract query interface.
#include "query/KvQuery.h"

KvQueryClass::~KvQueryClass() = default;
