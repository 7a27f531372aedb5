// The VXI-11 plug-in's two process-wide tables:
//  - CVxi11PhysicalInterfaceManager: the plug-in's factory of CVxi11PhysicalInterface objects and the
//    table of device names ("inst%lu" and the alias an application gives at enable) that create_link
//    resolves;
//  - CVxi11LinkManager: every link of every connection by link id, and the link-level operations the
//    core channel and the abort channel call (look the link up, check it belongs to the calling
//    connection, forward to the interface).
//
// Each object, once constructed, is the process's current one (Vxi11InterfaceManager(),
// Vxi11LinkTable()) until it is destroyed.
//
// Lock order: the link table's mutex, then a link's mutex, then the interface manager's mutex. No
// operation sends on the network while holding the table's mutex.
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"
#include "engine/CPhysicalInterfaceFactory.h"
#include "vxi11/CVxi11PhysicalInterface.h"
#include "vxi11/Vxi11LinkOperations.h"

// What the link table needs of a connection (the connection's CInstrumentServer derives from it).
class CVxi11Connection {
 public:
  virtual ~CVxi11Connection() = default;
  // device_intr_srq on the connection's interrupt channel. Must not block on the network.
  virtual void SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) = 0;
  // The device_readstb reply of call xid, with the internal status translated to the VXI-11 error.
  virtual void SendReadStbReply(std::uint32_t xid, std::uint8_t status_byte, std::uint32_t internal_status,
                                std::uint32_t* status) = 0;
  // True once the client has closed the connection (or it broke): the operations of its links end.
  // Asked by a link operation of the connection, on the connection's own thread, while it waits.
  virtual bool IsGone() { return false; }
};

constexpr std::uint32_t kVxi11MaxSrqHandle = 40;
constexpr std::uint32_t kVxi11MaxAliasLength = 15;

class CVxi11PhysicalInterfaceManager : public CPhysicalInterfaceFactory {
 public:
  CVxi11PhysicalInterfaceManager();
  ~CVxi11PhysicalInterfaceManager() override;
  CVxi11PhysicalInterfaceManager(const CVxi11PhysicalInterfaceManager&) = delete;
  CVxi11PhysicalInterfaceManager& operator=(const CVxi11PhysicalInterfaceManager&) = delete;

  bool IsFailed() const;
  CPhysicalInterface* CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t device_index,
                                      std::uint32_t* status) override;
  void DestroyInterface(CPhysicalInterface* physical_interface) override;
  void DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status);
  std::int32_t GetInterfaceCount();
  // The interface registered under `name` (case-sensitive), or null.
  CVxi11PhysicalInterface* FindInterface(const char* name);
  // Passes a transport exception to every interface (52 plug-in going, 53 listener ended).
  void NotifyException(std::uint32_t code);

  // Name registration of an interface's enable and disable (settings: DoVovuriVxi11Settings or null).
  void RegisterName(CVxi11PhysicalInterface* physical_interface, const void* settings, std::uint32_t* status);
  void UnregisterName(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status);

 private:
  struct Names;
  COSMutex* mutex_ = nullptr;
  Names* names_ = nullptr;
  std::int32_t count_ = 0;
};

class CVxi11LinkManager {
 public:
  CVxi11LinkManager();
  ~CVxi11LinkManager();
  CVxi11LinkManager(const CVxi11LinkManager&) = delete;
  CVxi11LinkManager& operator=(const CVxi11LinkManager&) = delete;

  bool IsFailed() const { return mutex_.IsFailed(); }
  std::uint32_t LinkCount();
  // For tests: whether lid exists, and its SRQ flags.
  bool HasLink(std::uint32_t lid);
  bool IsSrqPending(std::uint32_t lid);

  struct Table;  // the links by id (defined with the operations)

 private:
  friend struct CVxi11LinkTableAccess;
  COSMutex mutex_;
  Table* table_ = nullptr;
};

// The current objects (null when the plug-in is not running).
CVxi11PhysicalInterfaceManager* Vxi11InterfaceManager();
CVxi11LinkManager* Vxi11LinkTable();

// Called by CVxi11PhysicalInterface::Enable / Disable, through the current interface manager.
void RegisterVxi11DeviceName(CVxi11PhysicalInterface* physical_interface, const void* settings, std::uint32_t* status);
void UnregisterVxi11DeviceName(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status);

// ---- link-level operations (connection threads; "connection" identifies the caller) -------------
// They work on the current link table (Vxi11LinkTable()); without one every link is unknown.
// Every operation reports an internal status (Vxi11Status.h); kVxi11StatusNoSuchLink for an unknown link
// or a link of another connection.
std::uint32_t Vxi11CreateLinkHandler(CVxi11Connection* connection, bool lock_device, std::uint32_t lock_timeout,
                                     const char* name, std::uint32_t* status);
void Vxi11DestroyLinkHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);
std::uint32_t Vxi11DeviceWriteHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, bool end,
                                      std::uint32_t length, const std::uint8_t* data, std::uint32_t* status);
std::uint32_t Vxi11DeviceReadHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, bool termchar_set,
                                     std::uint8_t termchar, std::uint32_t count, std::uint8_t* destination,
                                     std::uint32_t* reason, std::uint32_t* status);
// Status 0: the reply was given to connection->SendReadStbReply. Non-zero: nothing was given.
void Vxi11DeviceReadStbHandler(CVxi11Connection* connection, std::uint32_t xid, const Vxi11LinkCall& call,
                               std::uint32_t* status);
void Vxi11DeviceTriggerHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
void Vxi11DeviceClearHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
void Vxi11DeviceRemoteHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
void Vxi11DeviceLocalHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
// call.io_timeout is not used.
void Vxi11DeviceLockHandler(CVxi11Connection* connection, const Vxi11LinkCall& call, std::uint32_t* status);
void Vxi11DeviceUnlockHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);
void Vxi11EnableSrqHandler(CVxi11Connection* connection, std::uint32_t lid, bool enable, std::uint32_t handle_length,
                           const std::uint8_t* handle, std::uint32_t* status);
// From the abort channel: `connection` is the connection the abort channel belongs to.
void Vxi11DeviceAbortHandler(CVxi11Connection* connection, std::uint32_t lid, std::uint32_t* status);

// The operations above as the table the server calls.
const CVxi11LinkOperations* Vxi11LinkTableOperations();

// ---- engine side and connection life ----
// Service request of an interface: sent to every link with SRQ enabled (outside the table's mutex),
// remembered on the others until they enable SRQ.
void Vxi11AssertSrqHandler(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status);
void Vxi11WithdrawSrqHandler(CVxi11PhysicalInterface* physical_interface, std::uint32_t* status);
// Removes every link of the interface (its disable).
void Vxi11DropInterfaceLinks(CVxi11PhysicalInterface* physical_interface);
// Removes every link of a connection that ends, releasing a device lock it holds. After it returns no
// service request is being sent to the connection and none will be: the connection may be deleted.
void Vxi11DropConnectionLinks(CVxi11Connection* connection);
