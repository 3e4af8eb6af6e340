#include "dims/dims.hpp"
