// The usage texts the launcher hands to the driver.
#pragma once

// Points the driver's short usage at the text of the front end invoked:
// the memory checker's command line has nothing in common with the others.
void select_usage_texts(const char* front_end);
