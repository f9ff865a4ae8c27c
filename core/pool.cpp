// Pool sizes.
#include "core/pool.hpp"

#include <unistd.h>

#include <tbb/info.h>

namespace zelkor {

int default_pool_threads() { return tbb::info::default_concurrency(); }

int current_pool_threads() { return tbb::this_task_arena::max_concurrency(); }

uint64_t counting_pool_threads(uint64_t num_workers) {
  if (num_workers != 0) return num_workers;
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}

}  // namespace zelkor
