#pragma once
// What must follow the creation of the QApplication.

namespace verbolin {

// QApplication adopts the user's locale for every category, which makes the
// printf-formatted number texts elsewhere write decimal commas; numbers stay
// in the "C" locale.
void afterApplicationCreated();

}  // namespace verbolin
