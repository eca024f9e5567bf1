// Records straight into columns.
#include "column_reader.hpp"
