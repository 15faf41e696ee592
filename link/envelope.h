// The codec moved to proto/; kept while link code still names it here.
#pragma once
#include "proto/envelope.h"
