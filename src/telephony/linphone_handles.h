#pragma once
// The SIP library's reference-counted objects held by handles: a handle owns one reference
// and gives it back when it goes. Made from a pointer, it adopts the reference that a
// create_ call hands over; made with kTakeRef, it takes a reference of its own to an object
// the library only lends (a callback's argument, what a getter returns).

#include <belle-sip/belle-sip.h>
#include <linphone/core.h>

#include <memory>

namespace velnaro {

template <auto unref>
struct Unref {
  template <class T>
  void operator()(T* p) const {
    unref(p);
  }
};

struct TakeRef {};
inline constexpr TakeRef kTakeRef{};

template <class T, auto ref, auto unref>
class Handle : public std::unique_ptr<T, Unref<unref>> {
  using Base = std::unique_ptr<T, Unref<unref>>;

 public:
  using Base::Base;
  Handle(TakeRef, T* lent)
      : Base(lent ? static_cast<T*>(static_cast<void*>(ref(lent))) : nullptr) {}
};

using AccountCbsPtr =
    Handle<LinphoneAccountCbs, linphone_account_cbs_ref, linphone_account_cbs_unref>;
using AccountParamsPtr =
    Handle<LinphoneAccountParams, linphone_account_params_ref, linphone_account_params_unref>;
using AccountPtr = Handle<LinphoneAccount, linphone_account_ref, linphone_account_unref>;
using AddressPtr = Handle<LinphoneAddress, linphone_address_ref, linphone_address_unref>;
using AuthInfoPtr = Handle<LinphoneAuthInfo, linphone_auth_info_ref, linphone_auth_info_unref>;
using CallParamsPtr =
    Handle<LinphoneCallParams, linphone_call_params_ref, linphone_call_params_unref>;
using CallPtr = Handle<LinphoneCall, linphone_call_ref, linphone_call_unref>;
using ConferenceParamsPtr = Handle<LinphoneConferenceParams, linphone_conference_params_ref,
                                   linphone_conference_params_unref>;
using ConferencePtr =
    Handle<LinphoneConference, linphone_conference_ref, linphone_conference_unref>;
using ConfigPtr = Handle<LinphoneConfig, linphone_config_ref, linphone_config_unref>;
using CoreCbsPtr = Handle<LinphoneCoreCbs, linphone_core_cbs_ref, linphone_core_cbs_unref>;
using CorePtr = Handle<LinphoneCore, linphone_core_ref, linphone_core_unref>;
using LoggingServiceCbsPtr = Handle<LinphoneLoggingServiceCbs, linphone_logging_service_cbs_ref,
                                    linphone_logging_service_cbs_unref>;
using TransportsPtr =
    Handle<LinphoneTransports, linphone_transports_ref, linphone_transports_unref>;
using ViaPtr = Handle<belle_sip_header_via_t, belle_sip_object_ref, belle_sip_object_unref>;

}  // namespace velnaro
