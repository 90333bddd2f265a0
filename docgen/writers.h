// The generated documents, each written to a stream.
#pragma once

#include <ostream>

#include "catalogue.h"

void writeManPage(std::ostream &out, const Catalogue &c);
void writeBashCompletion(std::ostream &out, const Catalogue &c);
void writeZshCompletion(std::ostream &out, const Catalogue &c);
void writeFishCompletion(std::ostream &out, const Catalogue &c);
