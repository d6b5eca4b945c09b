// Counting of the memory that operator new hands out (the test binary replaces it): the
// bytes live and the most live at once, of the blocks allocated while counting.
#pragma once

namespace alloccount {

void start();        // counts from now on, from zero
void stop();
double live();       // bytes of the counted blocks not yet given back
double peak();       // the most live at once since start()

}  // namespace alloccount
