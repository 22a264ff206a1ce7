// A build that carries real firmware always writes it.
#include "image/image_store.h"

const char *image_write_refusal() { return nullptr; }
