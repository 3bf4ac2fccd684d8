#include "NATLoader.h"
