// A peer directory: peer records keyed by peer name. Destroying it does not destroy the records;
// ApplyDelete does.
#ifndef VELP2P_VELHASHDICVELP2PPEERINFO_H
#define VELP2P_VELHASHDICVELP2PPEERINFO_H

#include "velp2p/VELHashDico.h"
#include "velp2p/VELP2PPeerInfo.h"

class VELHashDicVELP2PPeerInfo {
 public:
  explicit VELHashDicVELP2PPeerInfo(int buckets = 10) : _dico(buckets) {}
  virtual ~VELHashDicVELP2PPeerInfo() = default;

  // Non-zero when stored; 0 when the name is present already (nothing is replaced).
  int Insert(const VELUnicodeString& name, VELP2PPeerInfo* info) { return _dico.Insert(name, info); }
  VELP2PPeerInfo* Locate(const VELUnicodeString& name) const {
    return static_cast<VELP2PPeerInfo*>(_dico.Locate(name));
  }
  VELP2PPeerInfo* Remove(const VELUnicodeString& name) {
    return static_cast<VELP2PPeerInfo*>(_dico.Remove(name));
  }
  // Iteration, started with bucket 1 and position 0; null at the end.
  VELP2PPeerInfo* Next(int& bucket, int& position, VELUnicodeString* name = nullptr) {
    return static_cast<VELP2PPeerInfo*>(_dico.Next(bucket, position, name));
  }
  void RemoveAll() { _dico.RemoveAll(); }
  int Size() const { return _dico.Size(); }
  // Destroys every record and empties the directory.
  void ApplyDelete();

 private:
  VELHashDico _dico;
};

#endif
