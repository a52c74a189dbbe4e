// The members of the platform's SMAppService class (ServiceManagement, macOS 13) that the login item
// uses: the platform's own declarations, restated here as protocols because the SDK that the compile
// check uses has no ServiceManagement headers. The class is looked up by name at run time, so no
// link-time reference to it exists.
#pragma once

#import <Foundation/Foundation.h>

// An SMAppService object (the main application's service).
@protocol QuorvantileAppService <NSObject>
@property (readonly) NSInteger status; // SMAppServiceStatus
- (BOOL)registerAndReturnError:(NSError* _Nullable* _Nullable)error;
- (void)unregisterWithCompletionHandler:(void (^_Nonnull)(NSError* _Nullable error))handler;
@end

// The SMAppService class itself.
@protocol QuorvantileAppServiceClass <NSObject>
+ (id<QuorvantileAppService> _Nonnull)mainAppService; // SMAppService.mainApp
+ (void)openSystemSettingsLoginItems;
@end
