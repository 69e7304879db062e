// Program entry: the application object, the program's six long-lived objects in their
// order, the message loop.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include "app/frm_MainPhone.h"
#include "app/links.h"
#include "control/commands.h"
#include "control/event_streams.h"
#include "control/http_endpoint.h"
#include "control/interpreter.h"
#include "control/screen_capture.h"
#include "control/upload.h"
#include "control/upload_spool.h"
#include "control/web_server.h"
#include "net/http_client.h"
#include "platform/desktop_opener.h"
#include "platform/message_box_qt.h"
#include "platform/network_watch.h"
#include "platform/screen_capture_portal_qt.h"
#include "platform/single_instance.h"
#include "platform/state_folder.h"
#include "platform/support_log.h"
#include "provisioning/browser_policies.h"
#include "platform/thread_name.h"
#include "provisioning/clConfig.h"
#include "provisioning/command_line.h"
#include "provisioning/machine_config.h"
#include "provisioning/obj_VelnaroDS.h"
#include "provisioning/obj_oService.h"
#include "status/phone_status.h"
#include "telephony/frm_Telefono.h"
#include "telephony/linphone_sip_user_agent.h"
#include "ui/application.h"
#include "ui/main_window.h"
#include "ui/phone_window.h"
#include "ui/scheduler.h"
#include "ui/server_window.h"
#include "ui/tray.h"

int main(int argc, char** argv) {
  using namespace velnaro;

  // --version and --help answer at once: no window, no single-instance guard.
  const std::vector<std::string> params(argv + 1, argv + argc);
  if (auto text = InformationRequested(params)) {
    std::fputs(text->c_str(), stdout);
    return 0;
  }
  // So do the browser policies, which the package writes as root.
  if (auto status = BrowserPolicyCommand(params)) return *status;

  // The environment is read by every thread from now on (the libraries' included).
  SettleEnvironment();

  // Blocked before any thread starts, so every thread inherits the mask and the stop
  // signals are taken only by the waiting thread below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  SupportLogFile support_log({.path = SupportLogPath()});
  if (!support_log.error().empty())
    std::fprintf(stderr, "velnaro-ds: no log: %s\n", support_log.error().c_str());

  ui::Application app(argc, argv);
  if (auto option = UnknownOption(app.Parameters())) {
    std::fprintf(stderr, "velnaro-ds: unknown option %s\n\n%s", option->c_str(), UsageText().c_str());
    return 2;
  }
  QApplication::setApplicationName(TfrmMainPhone::kProductName);
  QApplication::setApplicationDisplayName(TfrmMainPhone::kProductName);
  // The Wayland app id, matching the desktop entry.
  QGuiApplication::setDesktopFileName("velnaro-ds");
  // Minimising hides the last window; only the main window's granted close ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // Dialogs carry the application's title.
  QtMessageBox messages("");
  app.SetErrorHandler([&messages](const std::string& what) {
    messages.Show(what, MessageKind::Error);
  });
  XdgDesktopOpener opener;
  UnixSocketInstanceGuard guard;

  // 1-3: configuration, provisioning client, web-application address holder. The client
  // keeps a reference to the holder, which is a plain record.
  TConfig config;
  // The workstation's settings file, then VELNARO_SERVICE_URL; the first parameter still
  // has the last word when the window is first shown.
  MachineConfig machine = ReadMachineConfig();
  config.ServiceURL =
      ConfiguredServiceURL(machine, std::getenv(kServiceURLVariable), config.ServiceURL);
  auto velnaro_ds = std::make_unique<TobjVelnaroDS>();
  ToService service(config, *velnaro_ds);

  // The status record and service log, which the phone controller and the control service
  // both write; the control service proper (its HTTP server) starts as the sixth object.
  PhoneStatus status;
  ServiceProvisioningLink provisioning(config, service, *velnaro_ds);
  // The provisioning address comes from our own parameters, not from options meant for Qt.
  provisioning.SetCommandLine(app.Parameters());
  NetUtilsLink network;

  // 4: the main window; its creation runs the single-instance guard.
  TfrmMainPhone form({provisioning, network, messages, opener, guard});
  form.SetLog(SupportLog);
  if (!form.FormCreate()) return 0;
  ui::MainWindow window(form);
  // Provisioning retries and the update download; a transfer still out when the program
  // ends is cut short.
  ui::QtScheduler scheduler(CancelAllTransfers);
  form.SetScheduler(&scheduler);
  // A second start may come while this one is still starting up: the request waits in the
  // queue until the loop runs.
  guard.SetRestoreHandlerWithToken([&window](const std::string& activation_token) {
    QMetaObject::invokeMethod(
        &window, [&window, activation_token] { window.eShowApplication(activation_token); },
        Qt::QueuedConnection);
  });
  QApplication::setApplicationDisplayName(QString::fromStdString(form.title));
  // The tray icon lives as long as the main window (there is no tray without a display).
  std::unique_ptr<ui::TrayIcon> tray;
  if (!messages.headless()) {
    tray = std::make_unique<ui::TrayIcon>(QString::fromStdString(form.title),
                                          [&window] { window.eShowApplication(); });
    tray->SetHostWatcher([&window](bool present) { window.TrayAvailabilityChanged(present); });
  }

  // 5: the phone window with its SIP component.
  SipSignalling signalling;
  signalling.transport = static_cast<SipSignalling::Transport>(machine.Sip.transport);
  signalling.server_port = machine.Sip.ServerPort();
  signalling.ca_file = machine.Sip.ca_file;
  signalling.media = static_cast<SipSignalling::Media>(machine.Sip.MediaEncryption());
  signalling.codecs = machine.Sip.codecs;
  std::unique_ptr<LinphoneSipUserAgent> agent = MakeLinphoneSipUserAgent(
      {.calls_only_from_server = machine.Hardening,
       .sound_device = machine.SoundDevice,
       .ring_device = machine.RingDevice,
       .signalling = std::move(signalling)});
  // The phone's own boxes carry the phone's captions.
  QtMessageBox phone_messages("SIP Voip");
  QtMessageBox account_messages("SIP");
  TfrmTelefono telefono(*agent, status, phone_messages, &account_messages);
  telefono.SetSoftwareVersion(config.SoftwareVersion);
  form.SetPhone(&telefono);
  SendWindowLogsToSupportLog(status, telefono);
  for (QtMessageBox* box : {&messages, &phone_messages, &account_messages})
    box->SetLogSink([&telefono](const std::string& line) { telefono.ScriviLog(line); });
  // Registration outcomes arrive on the component's thread; the page is the UI thread's.
  telefono.SetEsitoPasso3([&window, &form](bool ok) {
    QMetaObject::invokeMethod(
        &window,
        [&form, ok] {
          form.EsitoPasso3(ok);
          // Start-up's passing allocations (configuration, provisioning replies, the
          // media library's probing) go back to the system for the idle hours ahead.
          ::malloc_trim(0);
        },
        Qt::QueuedConnection);
  });
  ui::PhoneWindow phone_window(telefono);
  // The network moving (a new lease, a VPN back, a resume) is handled where the start-up
  // made its choice.
  LinuxNetworkWatch network_watch([&window, &form] {
    QMetaObject::invokeMethod(&window, [&form] { form.NetworkChanged(); }, Qt::QueuedConnection);
  });
  {
    std::string error, warning;
    if (!network_watch.Start(&error, &warning))
      SupportLog(LogLevel::kWarning, "network", "the network is not watched: " + error);
    if (!warning.empty()) SupportLog(LogLevel::kWarning, "network", warning);
  }

  // 6: the control service; it answers from now on. On Wayland the screen can only be had
  // through the desktop portal (an X client there would read XWayland's empty root).
  std::unique_ptr<ScreenCapture> portal_capture;
  if (IsWaylandSession()) portal_capture = MakePortalScreenCapture(QtScreenLayout());
  ScreenCapture& capture = portal_capture ? *portal_capture : DefaultScreenCapture();
  TwebServer web(status);  // the control window's fields
  Interpreter interpreter(status, web);
  RegisterStatusCommand(interpreter.Commands(), status);
  // Failed uploads, kept and sent again on a thread of their own (also those of an earlier run).
  UploadSpool upload_spool(status);
  upload_spool.Start();
  CommandOptions command_options;
  command_options.sip_server = [&provisioning] { return provisioning.SipServer(); };
  command_options.upload_failed = [&upload_spool](const std::string& path,
                                                  const std::string& url) {
    upload_spool.Add(path, url);
  };
  command_options.capture = &capture;
  if (machine.Hardening) command_options.screenshot_interval = std::chrono::seconds(1);
  RegisterCommands(interpreter.Commands(), {status, web, telefono}, command_options);
  ui::ServerWindow server_window(web, status);
  server_window.SetMessageBox(&messages);
  server_window.SetButton2Click([&web, &status] { Button2Click(web, status); });
  server_window.SetButton1Click([&status, &capture] { Button1Click(status, capture); });
  // The hardened profile: loopback addresses only, pages from allowed origins only.
  AccessPolicy access(machine.Hardening, machine.AllowedOrigins,
                      [&provisioning] { return provisioning.ServerAddress(); });
  EndpointOptions endpoint_options;
  endpoint_options.loopback_only = machine.Hardening;
  endpoint_options.access = &access;
  EventStreams events(status);  // Action=EVENTS: the record's changes as they happen
  endpoint_options.events = &events;
  HttpEndpoint endpoint(interpreter, endpoint_options);
  // The lab and the tests may move the service off 9090 so that several agents can run.
  uint16_t control_port = machine.ControlPort.value_or(HttpEndpoint::kDefaultPort);
  if (const char* p = std::getenv("VELNARO_CONTROL_PORT"); p && *p) {
    auto parsed = HttpEndpoint::ParsePort(p);
    if (!parsed) {
      messages.Show(std::string("VELNARO_CONTROL_PORT is not a port number: ") + p,
                    MessageKind::Error);
      return 1;
    }
    control_port = *parsed;
  }
  try {
    endpoint.Start(control_port);
  } catch (const std::exception& e) {
    SupportLog(LogLevel::kError, "startup", e.what());
    messages.Show(e.what(), MessageKind::Error);
    return 1;
  }

  if (messages.headless() || std::getenv("VELNARO_UI_TRACE")) {
    window.SetTrace([](const std::string& line) {
      std::fprintf(stderr, "frmMainPhone: %s\n", line.c_str());
    });
  }
  window.SetPhoneWindow(&phone_window);
  window.SetServerWindow(&server_window);

  // SIGINT/SIGTERM: leave cleanly, without the close questions.
  std::atomic<bool> leaving{false}, signalled{false};
  std::thread stop_waiter([&] {
    NameThisThread("signals");
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    signalled = true;
    // A signal or a granted close (which wakes this thread below): no server may hold
    // the stop up, whichever thread waits on it, so transfers in flight end here.
    CancelAllTransfers();
    if (leaving) return;
    QMetaObject::invokeMethod(&window, [&form] {
      form.RequestExitWithoutQuestion();
      QApplication::quit();
    }, Qt::QueuedConnection);
  });

  QObject::connect(&window, &ui::MainWindow::closed, [] { QApplication::quit(); });
  window.show();
  int rc = QApplication::exec();
  leaving = true;
  SupportLog(LogLevel::kInfo, "startup", signalled ? "stopped by a signal: the program ends"
                                                   : "the window closed: the program ends");
  // Blocked everywhere, so this only wakes the waiting thread.
  if (!signalled) pthread_kill(stop_waiter.native_handle(), SIGTERM);
  stop_waiter.join();

  // Stop taking requests before the objects they reach go away.
  for (QtMessageBox* box : {&messages, &phone_messages, &account_messages}) box->SetLogSink({});
  guard.SetRestoreHandler({});
  upload_spool.Stop();
  endpoint.Stop();
  network_watch.Stop();
  telefono.SetEsitoPasso3({});
  telefono.DisattivaTelefono();
  return rc;
}
