#include "verbolin/ui/ApplicationSetup.hpp"

#include <clocale>

namespace verbolin {

void afterApplicationCreated() { std::setlocale(LC_NUMERIC, "C"); }

}  // namespace verbolin
