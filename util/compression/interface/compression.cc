#include "util/compression/interface/compression.h"

namespace util {
namespace compression {

Compressor::~Compressor() {}

}  // namespace compression
}  // namespace util
