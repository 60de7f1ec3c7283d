// The local peer's lifecycle: creation, start-up (name, endpoints, services), tear-down and the clean-up
// at process exit.
//
// Deferred destruction: the tear-down may run while a service is handling a message or while an endpoint
// is serving its descriptor (a service that disconnects the peer, the awareness service on a name clash).
// The peer's dispatch and the endpoint callback each hold a reference on the object they are running, so
// the tear-down only drops the peer's own references and the last release happens when the call returns.
#include "velp2p/VELP2PPeer.h"

#include <cstring>

#include "core/VELP2PConfig.h"
#include "core/VELP2PNode.h"
#include "core/VELP2POptions.h"
#include "core/VELP2PStatusStore.h"
#include "host/VELLastError.h"
#include "host/VELSystem.h"
#include "host/VELTraceMacros.h"
#include "velp2p/VELClassRegistry.h"
#include "velp2p/VELHashDicVELP2PPeerInfo.h"
#include "velp2p/VELP2PEndPoint.h"
#include "velp2p/VELP2PNotifications.h"
#include "velp2p/VELP2PService.h"

VEL_IMPLEMENT_CLASS(VELP2PPeer, VELBaseUnknown)

const VELIID IID_VELIP2PPeer = {0x5f1c2a10, 0x7d3e, 0x4b21, {0x9a, 0x41, 0x2c, 0x6e, 0x11, 0x80, 0x3d, 0x01}};

int VELP2PPeer::_rtc = 0;
int VELP2PPeer::_login_in_progress = 0;
int VELP2PPeer::_registerExitHook = 1;

namespace {

const char kRootGroup[] = "/P2PRoot";
const char kDefaultMulticastAddress[] = "224.0.1.85";

// Takes an object created by class name as the class the caller needs, or releases it.
template <class T>
T* CreateByName(const char* className) {
  void* object = nullptr;
  if (VEL_FAILED(VELCreateClassInstance(className, nullptr, 0, IID_VELIUnknown, &object)) || !object)
    return nullptr;
  auto* base = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
  T* typed = dynamic_cast<T*>(base);
  if (!typed)
    base->Release();
  return typed;
}

// Releases every endpoint or service of a list the peer owned, after the peer has let go of the list itself,
// so that a destructor calling back into the peer finds the list already gone. One that lives on (a call of
// its own still running) no longer reaches the peer.
void Detach(VELP2PEndPoint& endpoint) {
  endpoint.SetReceiver(nullptr);
}

void Detach(VELP2PService& service) {
  service.SetPeer(nullptr);
}

template <class T>
void ReleaseAll(std::unique_ptr<VELListPtr<T>> list) {
  if (!list)
    return;
  for (int i = 1; i <= list->Size(); ++i) {
    if (T* object = (*list)[i]) {
      Detach(*object);
      object->Release();
    }
  }
}

}  // namespace

VELP2PPeer::VELP2PPeer(VELP2PNode* node)
    : _status(6),
      _httpPort(80),
      _httpConnexionData(nullptr),
      _node(node),
      _connected(0),
      _collaboration(false) {
  std::memset(_httpConnexionText1, 0, sizeof(_httpConnexionText1));
  std::memset(_httpConnexionText2, 0, sizeof(_httpConnexionText2));
}

VELP2PPeer::~VELP2PPeer() {
  internal_destructor();
  _httpConnexionData = nullptr;
}

VELResult VELP2PPeer::QueryInterface(const VELIID& iid, void** object) {
  if (object && iid == IID_VELIP2PPeer) {
    *object = static_cast<VELIP2PPeer*>(this);
    AddRef();
    return VEL_S_OK;
  }
  return VELBaseUnknown::QueryInterface(iid, object);
}

VELP2PPeer* VELP2PPeer::GetLocalPeer() {
  VELP2PNode* node = VELP2PNode::Default();
  return node ? &node->Peer() : nullptr;
}

int VELP2PPeer::IsConnected() {
  VELP2PPeer* peer = GetLocalPeer();
  return peer ? peer->_connected : 0;
}

VELIP2PPeer* VELIP2PPeerFactory::GetLocalPeer() {
  VELP2PPeer* peer = VELP2PPeer::GetLocalPeer();
  if (!peer)
    return nullptr;
  void* object = nullptr;
  if (VEL_FAILED(peer->QueryInterface(IID_VELIP2PPeer, &object)))
    return nullptr;
  return static_cast<VELIP2PPeer*>(object);
}

int VELP2PPeer::CleanPeer(int) {
  VELP2PNode::DestroyDefault();
  return 0;
}

void VELP2PPeer::ChooseMode(bool collaboration) {
  _collaboration = collaboration;
  if (_node && _node->IsDefault()) {
    _rtc = collaboration ? 1 : 0;
    if (collaboration)
      _login_in_progress = 1;
  }
}

VELResult VELP2PPeer::InitP2P() {
  if (_connected == 1)
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
  ChooseMode(false);
  return Initialize();
}

VELResult VELP2PPeer::InitP2PForRTC() {
  if (_connected == 1)
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
  ChooseMode(true);
  return Initialize();
}

VELResult VELP2PPeer::Initialize() {
  return Initialize(VELP2POptions::FromEnvironment(_collaboration ? VELP2POptions::Mode::kCollaboration
                                                                  : VELP2POptions::Mode::kStandard));
}

VELResult VELP2PPeer::Start(const VELP2POptions& options) {
  if (_connected == 1)
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
  if (VEL_FAILED(options.Check()))
    return VEL_E_FAIL;
  ChooseMode(options.mode == VELP2POptions::Mode::kCollaboration);
  return Initialize(options);
}

VELResult VELP2PPeer::Initialize(const VELP2POptions& options) {
  VELP2P_TRACE("VELP2PPeer - Initialize");
  if (_connected == 1)
    return VELFail(VELP2P_ERROR_ALREADY_STARTED);
  if (!_node)
    return VELFail(VELP2P_ERROR_FAILED, "the node of this peer is gone");
  // Options that cannot be used stop the start-up before anything is made, and so does a missing loop:
  // endpoints without one would never hear anything.
  if (VEL_FAILED(options.Check()))
    return VEL_E_FAIL;
  if (!_node->BindLoop())
    return VELFail(VELP2P_ERROR_NO_LOOP, "create a VELApplication before the start");
  _options = std::make_unique<VELP2POptions>(options);
  _node->SetDiagnostics(_options->diagnostics);
  if (_registerExitHook && _node->IsDefault()) {
    VELCallOnExit(&VELP2PPeer::CleanPeer, 3);
    _registerExitHook = 0;
  }
  _currentGroup = kRootGroup;
  if (!_subGroups)
    _subGroups = std::make_unique<VELListValVELUnicodeString>();
  if (!_groupPeers)
    _groupPeers = std::make_unique<VELHashDicVELP2PPeerInfo>(10);
  if (!_crossGroupPeers)
    _crossGroupPeers = std::make_unique<VELHashDicVELP2PPeerInfo>(10);
  if (!_connectedPeers)
    _connectedPeers = std::make_unique<VELHashDicVELP2PPeerInfo>(10);

  const char* login = _options->hasLogin ? _options->login.c_str() : nullptr;
  if (_collaboration) {
    // The account is looked up only when no login is given: it reads the user database.
    char account[50] = {0};
    if (!login)
      (void)VELGetLoginName(account, sizeof(account));
    account[sizeof(account) - 1] = '\0';
    _peerName = VELP2PComposeCollaborationName(account, login);
  } else if (VEL_FAILED(VELP2PBuildPeerName(_peerName, login))) {
    return VEL_E_FAIL;
  }
  _node->Receiver().SetPersistent(_options->persistent);
  if (VEL_FAILED(InitEndPoints()))
    return VEL_E_FAIL;
  VELResult result = InitServices();
  if (VEL_FAILED(result))
    return VEL_E_FAIL;
  _connected = 1;
  _node->StartPresence(VELP2PPresenceSettings::From(*_options));
  FireCurrentGroupNotif();
  FirePeerInitNotif();
  return result;
}

VELResult VELP2PPeer::InitEndPoints() {
  VELP2P_TRACE("VELP2PPeer - InitEndPoints");
  VELListValVELUnicodeString interfaces;
  int n = 0;

  VELListValVELUnicodeString classNames;
  VELListValVELUnicodeString addresses;
  VELRawCollint ports;
  VELP2PEndPointConfigSource source;
  bool useDefaults = false;
  if (VEL_FAILED(_options->ReadEndPoints(classNames, addresses, ports, source, useDefaults)))
    return VEL_E_FAIL;
  if (!useDefaults) {
    for (int i = 1; i <= classNames.Size(); ++i) {
      if (addresses[i] == "*") {
        // Looked up only for a "*" line before every explicit address: a file that names the addresses
        // starts without asking the resolver, which may be slow or broken.
        if (interfaces.Size() == 0) {
          (void)VELP2PGetNetworkInterfaces(interfaces);
          n = interfaces.Size();
        }
        if (n == 0) {
          interfaces.Append(VELUnicodeString(""));
          n = 1;
        }
      } else {
        // An explicit address replaces the interface list for this line and every later "*" line.
        if (interfaces.Size() == 0) {
          interfaces.Append(addresses[i]);
        } else {
          interfaces[1] = addresses[i];
        }
        n = 1;
      }
      for (int j = 1; j <= n; ++j) {
        VELP2P_TRACEF("Creating <%s> on <%s> and port <%d> \n", classNames[i].CastToCharPtr(),
                      interfaces[j].CastToCharPtr(), ports[i]);
        VELP2PEndPoint* endpoint = RegisterEndPoint(classNames[i].CastToCharPtr());
        if (!endpoint)
          return VELP2PRefuseEndPointConfig(_options->EndPointsOrigin(), source.lines[i - 1],
                                            "no endpoint class " + classNames[i].Str());
        VELResult result = endpoint->Initialize(interfaces[j].CastToCharPtr(), ports[i]);
        if (VEL_FAILED(result)) {
          VELP2P_TRACEF("Cannot initialize <%s>\n", classNames[i].CastToCharPtr());
          return VELFail(VELP2P_ERROR_NETWORK,
                         "cannot open " + classNames[i].Str() + " on " + interfaces[j].Str(), result);
        }
      }
    }
    return VEL_S_OK;
  }

  (void)VELP2PGetNetworkInterfaces(interfaces);
  n = interfaces.Size();
  if (n == 0) {
    interfaces.Append(VELUnicodeString(""));
    n = 1;
  }
  const bool http = _options->httpEndPoints;
  VELResult result = VEL_S_OK;
  for (int j = 1; j <= n; ++j) {
    const char* firstClass = http ? "VELP2PHTTPUniCastEndPoint" : "VELP2PMultiCastEndPoint";
    const char* secondClass = http ? "VELP2PHTTPMultiCastEndPoint" : "VELP2PTCPEndPoint";
    const char* firstAddress = http ? interfaces[j].CastToCharPtr() : kDefaultMulticastAddress;
    VELP2PEndPoint* first = RegisterEndPoint(firstClass);
    if (!first)
      return VELFail(VELP2P_ERROR_BAD_CONFIGURATION, std::string("no endpoint class ") + firstClass);
    result = first->Initialize(firstAddress, 0);
    if (VEL_FAILED(result))
      return VELFail(VELP2P_ERROR_NETWORK, std::string("cannot open ") + firstClass + " on " + firstAddress,
                     result);
    VELP2PEndPoint* second = RegisterEndPoint(secondClass);
    if (!second)
      return VELFail(VELP2P_ERROR_BAD_CONFIGURATION, std::string("no endpoint class ") + secondClass);
    result = second->Initialize(interfaces[j].CastToCharPtr(), 0);
    if (VEL_FAILED(result))
      return VELFail(VELP2P_ERROR_NETWORK,
                     std::string("cannot open ") + secondClass + " on " + interfaces[j].Str(), result);
  }
  return result;
}

VELP2PEndPoint* VELP2PPeer::RegisterEndPoint(const char* className) {
  VELP2P_TRACE("VELP2PPeer - RegisterEndPoint");
  if (!className)
    return nullptr;
  VELP2PEndPoint* endpoint = CreateByName<VELP2PEndPoint>(className);
  if (!endpoint)
    return nullptr;
  endpoint->SetReceiver(_node ? &_node->Receiver() : nullptr);
  if (endpoint->IsUnicast()) {
    if (!_unicastEndPoints)
      _unicastEndPoints = std::make_unique<VELListPtrVELP2PEndPoint>();
    _unicastEndPoints->Append(endpoint);
  } else if (endpoint->IsMulticast()) {
    if (!_multicastEndPoints)
      _multicastEndPoints = std::make_unique<VELListPtrVELP2PEndPoint>();
    _multicastEndPoints->Append(endpoint);
  } else {
    // Listed nowhere, it would never be released: an endpoint of neither kind is refused.
    endpoint->Release();
    return nullptr;
  }
  return endpoint;
}

VELResult VELP2PPeer::InitServices() {
  VELP2P_TRACE("VELP2PPeer - InitServices");
  static const char* const kCollaboration[] = {"VELP2PAwarenessService", "VELP2PStatusService",
                                               "VELP2PChatService", "VELP2PSessionService"};
  static const char* const kStandard[] = {"VELP2PGroupService", "VELP2PPeerService",
                                          "VELP2PDiscoveryService"};
  const char* const* names = _collaboration ? kCollaboration : kStandard;
  const int count = _collaboration ? 4 : 3;
  VELResult result = VEL_S_OK;
  for (int i = 0; i < count; ++i) {
    result = RegisterService(names[i]);
    if (VEL_FAILED(result))
      return result;
  }
  return result;
}

VELResult VELP2PPeer::RegisterService(const char* className) {
  VELP2P_TRACE("VELP2PPeer - RegisterService");
  if (!className)
    return VELFail(VELP2P_ERROR_BAD_ARGUMENT, "no service class named");
  void* object = nullptr;
  VELResult created = VELCreateClassInstance(className, nullptr, 0, IID_VELIUnknown, &object);
  if (VEL_FAILED(created))
    return VELFail(VELP2P_ERROR_BAD_ARGUMENT, std::string("no service class ") + className, created);
  auto* base = static_cast<VELBaseUnknown*>(static_cast<VELIUnknown*>(object));
  auto* service = dynamic_cast<VELP2PService*>(base);
  if (!service) {
    base->Release();
    return VELFail(VELP2P_ERROR_BAD_ARGUMENT, std::string(className) + " is not a service");
  }
  service->SetPeer(this);
  VELResult initialized = service->Initialize();
  if (VEL_FAILED(initialized)) {
    service->SetPeer(nullptr);
    service->Release();
    return initialized;
  }
  if (!_services)
    _services = std::make_unique<VELListPtrVELP2PService>();
  _services->Append(service);
  return VEL_S_OK;
}

VELP2PService* VELP2PPeer::GetService(const char* wireName) {
  for (int i = 1; wireName && _services && i <= _services->Size(); ++i) {
    VELP2PService* service = (*_services)[i];
    const char* name = service ? service->GetServiceName() : nullptr;
    if (name && std::strcmp(name, wireName) == 0)
      return service;
  }
  return nullptr;
}

VELResult VELP2PPeer::Disconnect() {
  if (_connected == 0)
    return VELFail(VELP2P_ERROR_NOT_CONNECTED);
  ClosePeer();
  internal_destructor();
  _connected = 0;
  return VEL_S_OK;
}

VELResult VELP2PPeer::ClosePeer() {
  if (_connected == 0)
    return VEL_E_FAIL;
  auto* notification = new (std::nothrow) VELP2PClosePeerNotif(&_peerName);
  if (notification) {
    DispatchCallbacks(this, notification);
    notification->Release();
  }
  return VEL_S_OK;
}

VELResult VELP2PPeer::internal_destructor() {
  VELP2P_TRACE("VELP2PPeer - Destructor");
  if (_node)
    _node->StopPresence();
  ReleaseAll(std::move(_unicastEndPoints));
  ReleaseAll(std::move(_multicastEndPoints));
  ReleaseAll(std::move(_services));
  _subGroups.reset();
  for (std::unique_ptr<VELHashDicVELP2PPeerInfo>* directory :
       {&_groupPeers, &_crossGroupPeers, &_connectedPeers}) {
    std::unique_ptr<VELHashDicVELP2PPeerInfo> owned = std::move(*directory);
    if (owned)
      owned->ApplyDelete();
  }
  _statusAndDesc.reset();
  return VEL_S_OK;
}

VELResult VELP2PPeer::Refresh() {
  return _connected == 1 ? VEL_S_OK : VELFail(VELP2P_ERROR_NOT_CONNECTED);
}

const VELUnicodeString* VELP2PPeer::GetPeerName() {
  VELP2P_TRACE("VELP2PPeer - GetPeerName");
  return &_peerName;
}

const VELUnicodeString* VELP2PPeer::GetCurrentGroup() {
  return &_currentGroup;
}

const VELListValVELUnicodeString* VELP2PPeer::GetSubGroups() {
  return _subGroups.get();
}

VELListPtrVELP2PEndPoint* VELP2PPeer::GetUnicastEndPoints() {
  return _unicastEndPoints.get();
}

VELListPtrVELP2PEndPoint* VELP2PPeer::GetMulticastEndPoints() {
  return _multicastEndPoints.get();
}

VELP2PUserStatus VELP2PPeer::GetStatus() {
  return _status;
}

VELUnicodeString VELP2PPeer::GetDesc() {
  return _desc;
}

VELBaseUnknown* VELP2PPeer::GetP2PPublisher() {
  return this;
}

VELResult VELP2PPeer::RemoveEndPoint(VELP2PEndPoint* endpoint) {
  VELP2P_TRACE("VELP2PPeer - RemoveEndPoint");
  return endpoint ? VEL_S_OK : VEL_E_FAIL;
}

VELResult VELP2PPeer::SetHTTPConnexion(const char* text1, const char* text2, int port, void* data) {
  if (!text1 || !text2)
    return VELFail(VELP2P_ERROR_BAD_ARGUMENT, "null text");
  // The texts are kept in 256-byte fields; a longer one is refused rather than cut.
  if (std::strlen(text1) >= sizeof(_httpConnexionText1) ||
      std::strlen(text2) >= sizeof(_httpConnexionText2)) {
    return VELFail(VELP2P_ERROR_TOO_LONG, "a text of 256 bytes or more");
  }
  std::strcpy(_httpConnexionText1, text1);
  std::strcpy(_httpConnexionText2, text2);
  _httpConnexionData = data;
  _httpPort = port;
  return VEL_S_OK;
}

VELResult VELP2PPeer::GetHTTPConnexion(char*& text1, char*& text2, int& port) {
  if (!text1 || !text2)
    return VELFail(VELP2P_ERROR_BAD_ARGUMENT, "null buffer");
  std::memcpy(text1, _httpConnexionText1, std::strlen(_httpConnexionText1) + 1);
  std::memcpy(text2, _httpConnexionText2, std::strlen(_httpConnexionText2) + 1);
  port = _httpPort;
  return VEL_S_OK;
}

VELResult VELP2PPeer::GetHTTPConnexionData(void*& data) {
  data = _httpConnexionData;
  return VEL_S_OK;
}

void VELP2PPeer::ClearPeerList() {
  VELP2P_TRACE("VELP2PPeer - ClearPeerList");
}

void VELP2PPeer::ClearGroupList() {
  VELP2P_TRACE("VELP2PPeer - ClearGroupList");
}
