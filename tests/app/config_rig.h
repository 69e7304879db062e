#pragma once
// The real provisioning link over a configuration whose registry, adapters and hardware
// are fakes.

#include "app/links.h"
#include "platform/adapters.h"
#include "platform/hardware_info.h"
#include "platform/user_store.h"
#include "provisioning/clConfig.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "support/platform_fakes.h"

namespace velnaro::testing {

struct ConfigRig {
  FakeUserStore store;
  FakeAdapterSource adapters;
  FakeHardwareInfoSource hardware;
  TConfig config{ConfigPlatform{&store, &adapters, &hardware}};
  TobjVelnaroDS velnaro;
  ToService service{config, velnaro};
  ServiceProvisioningLink link{config, service, velnaro};
};

}  // namespace velnaro::testing
