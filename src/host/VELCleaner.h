// Deletes commands once the event loop has finished the turn in which they stopped being needed.
#ifndef VELP2P_HOST_VELCLEANER_H
#define VELP2P_HOST_VELCLEANER_H

class VELApplication;
class VELCommand;

class VELCleaner {
 public:
  // Takes ownership of the command. It is deleted at the end of the loop's current turn, so a callback that
  // ends its own registration may go on using the command until it returns; when no turn is in progress (or
  // the loop is null) it is deleted at once.
  static void DeleteOnTransactionEnd(VELApplication* loop, VELCommand* command);
};

#endif
